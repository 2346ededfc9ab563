// Fault reports on standard error, written where a fault starts.
#include "core/fault.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vorn::core {

allocation_failure::allocation_failure(std::size_t bytes)
    : bytes_(bytes),
      message_("memory allocation of " + std::to_string(bytes) + " bytes failed") {}

namespace {

// Linux threads inherit the creating thread's name, so a worker that nobody
// named carries the program's name; report such threads as unnamed.
std::string current_thread_name() {
    if (gettid() == getpid()) return "main";
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return "<unnamed>";
    char inherited[16] = {};
    std::strncpy(inherited, program_invocation_short_name, sizeof inherited - 1);
    if (std::strcmp(name, inherited) == 0) return "<unnamed>";
    return name;
}

thread_local int holding_depth = 0;

}  // namespace

// A report composed where its fault started (that thread's name and id, the
// frames of that stack), to be written later by whoever raises the fault.
struct held_report {
    std::string text;
    std::vector<void*> frames;
    bool with_trace = false;
    std::atomic<bool> written{false};

    held_report(const std::string& message, const source_location& where) {
        text = "thread '" + current_thread_name() + "' (os id " + std::to_string(gettid()) +
               ") hit an internal fault at " + where.file_name() + ":" +
               std::to_string(where.line()) + ":\n" + message + "\n";
        const char* setting = std::getenv(backtrace_setting);
        with_trace = setting != nullptr && setting[0] != '\0' && std::strcmp(setting, "0") != 0;
        if (!with_trace) {
            text += std::string("note: run with `") + backtrace_setting +
                    "=1` to add a native backtrace to this report\n";
        } else {
            frames.resize(64);
            frames.resize(static_cast<std::size_t>(backtrace(frames.data(), 64)));
        }
    }

    void write() noexcept {
        if (written.exchange(true)) return;
        std::fputs(text.c_str(), stderr);
        if (with_trace) {
            std::fputs("native backtrace:\n", stderr);
            std::fflush(stderr);
            backtrace_symbols_fd(frames.data(), static_cast<int>(frames.size()), fileno(stderr));
        }
        std::fflush(stderr);
    }
};

internal_fault::internal_fault(const std::string& message, std::shared_ptr<held_report> report)
    : std::runtime_error(message), report_(std::move(report)) {}

void internal_fault::write_held_report() const noexcept {
    if (report_) report_->write();
}

report_holding::report_holding() noexcept { ++holding_depth; }
report_holding::~report_holding() { --holding_depth; }
bool report_holding::active() noexcept { return holding_depth > 0; }

void write_fault_report(const std::string& message,
                        const source_location& where) noexcept {
    try {
        held_report(message, where).write();
    } catch (...) {
        std::fputs("internal fault (report could not be formatted)\n", stderr);
    }
}

void fail(std::string message, source_location where) {
    if (!report_holding::active()) {
        write_fault_report(message, where);
        throw internal_fault(message);
    }
    std::shared_ptr<held_report> report;
    try {
        report = std::make_shared<held_report>(message, where);
    } catch (...) {
        // No memory for the report: write it now rather than lose it.
        write_fault_report(message, where);
    }
    throw internal_fault(message, std::move(report));
}

void fail_index_out_of_bounds(std::size_t len, std::size_t index,
                              source_location where) {
    fail("index out of bounds: the len is " + std::to_string(len) +
             " but the index is " + std::to_string(index),
         where);
}

}  // namespace vorn::core
