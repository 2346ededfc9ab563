// Internal faults and allocation failures: the two ways native code stops a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <source_location>
#include <stdexcept>
#include <string>

namespace vorn::core {

// Where a fault started. libstdc++'s std::source_location needs a builtin that
// Clang gained only in release 15; before it, the file and line builtins that
// both compilers have long offered give the same as default arguments.
#if defined(__cpp_lib_source_location)
using source_location = std::source_location;
#else
class source_location {
public:
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             std::uint_least32_t line = __builtin_LINE()) noexcept {
        return source_location(file, line);
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }

private:
    constexpr source_location(const char* file, std::uint_least32_t line) noexcept
        : file_(file), line_(line) {}
    const char* file_;
    std::uint_least32_t line_;
};
#endif

struct held_report;

// A violated expectation. It unwinds to the call wrapper, which raises it in
// Python as PanicException carrying `what()`. A fault started while reports
// are held back (report_holding) carries its report instead of having
// written it.
class internal_fault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    internal_fault(const std::string& message, std::shared_ptr<held_report> report);

    // Writes the held report, if there is one and it was not written yet.
    void write_held_report() const noexcept;

private:
    std::shared_ptr<held_report> report_;
};

// While one is alive on a thread, faults started on that thread hold their
// report back. A parallel loop holds reports in its pieces: several pieces
// may fail, but only one fault is raised, and the loop writes that one's
// report when it passes the fault on. Nests.
class report_holding {
public:
    report_holding() noexcept;
    ~report_holding();
    report_holding(const report_holding&) = delete;
    report_holding& operator=(const report_holding&) = delete;

    // True while some report_holding is alive on the calling thread.
    static bool active() noexcept;
};

// A buffer that could not be obtained although its size is representable.
// Becomes MemoryError; the process goes on.
class allocation_failure : public std::exception {
public:
    explicit allocation_failure(std::size_t bytes);
    const char* what() const noexcept override { return message_.c_str(); }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    std::size_t bytes_;
    std::string message_;
};

// Name of the environment setting that adds a native backtrace to fault
// reports. It is read only while a report is written.
inline constexpr const char* backtrace_setting = "VORN_EXT_BACKTRACE";

// Writes the fault report (thread, OS thread id, position, message, backtrace
// hint) to standard error.
void write_fault_report(const std::string& message,
                        const source_location& where) noexcept;

// Reports and throws an internal fault. The only way kernels and the binding
// layer start one.
[[noreturn]] void fail(std::string message,
                       source_location where = source_location::current());

[[noreturn]] void fail_index_out_of_bounds(
    std::size_t len, std::size_t index,
    source_location where = source_location::current());

}  // namespace vorn::core
