// Fault reports on standard error, written where a fault starts.
#include "core/fault.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

void write_fault_report(const std::string& message,
                        const source_location& where) noexcept {
    try {
        std::string text = "thread '" + current_thread_name() + "' (os id " +
                           std::to_string(gettid()) + ") hit an internal fault at " +
                           where.file_name() + ":" + std::to_string(where.line()) + ":\n" +
                           message + "\n";
        const char* setting = std::getenv(backtrace_setting);
        const bool want_trace = setting != nullptr && setting[0] != '\0' &&
                                std::strcmp(setting, "0") != 0;
        if (!want_trace)
            text += std::string("note: run with `") + backtrace_setting +
                    "=1` to add a native backtrace to this report\n";
        std::fputs(text.c_str(), stderr);
        if (want_trace) {
            void* frames[64];
            const int count = backtrace(frames, 64);
            std::fputs("native backtrace:\n", stderr);
            std::fflush(stderr);
            backtrace_symbols_fd(frames, count, fileno(stderr));
        }
        std::fflush(stderr);
    } catch (...) {
        std::fputs("internal fault (report could not be formatted)\n", stderr);
    }
}

void fail(std::string message, source_location where) {
    write_fault_report(message, where);
    throw internal_fault(message);
}

void fail_index_out_of_bounds(std::size_t len, std::size_t index,
                              source_location where) {
    fail("index out of bounds: the len is " + std::to_string(len) +
             " but the index is " + std::to_string(index),
         where);
}

}  // namespace vorn::core
