#pragma once
// Ctrl-C and friends while files are being written. For the lifetime of an
// InterruptScope, SIGINT, SIGTERM and SIGHUP only raise a flag; the render loops
// poll it between chunks and unwind, so the code that made each temporary output
// removes it. A second signal does not wait: it removes the registered temporary
// files at once and ends the process by that signal.
//
// A signal the process was started with ignored (nohup, a shell's background
// job without job control) stays ignored. The handlers restart interrupted
// system calls, so a blocking open or read is not turned into a failure.
//
// Renders on several threads register their temporary files in slots of their
// own; the handler may run on any thread.

#include <string>

namespace korvax::cli {

class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// Throws Interrupted when a signal has arrived.
void ThrowIfInterrupted();
// The signal that arrived first, 0 while none has.
int PendingSignal() noexcept;

// A temporary file that a second signal removes. Registration takes a free slot
// (there are enough for every render the tool runs at once); a path that does
// not fit, or finds no slot, is still removed by the unwinding code.
class TemporaryFileRegistration {
public:
    TemporaryFileRegistration() = default;
    ~TemporaryFileRegistration() { Forget(); }
    TemporaryFileRegistration(const TemporaryFileRegistration&) = delete;
    TemporaryFileRegistration& operator=(const TemporaryFileRegistration&) = delete;

    // Makes the file as mkostemp(`pathTemplate`, O_CLOEXEC) does, and registers
    // it in the same step, which no signal handler on any thread can come
    // between; -1 with errno set when it cannot be made (also once a second
    // signal is ending the process).
    int Create(std::string& pathTemplate) noexcept;
    // Once the file is renamed into place or removed.
    void Forget() noexcept;

private:
    int slot_ = -1;
};

// Ends the process by `signal` with its default action, so the parent sees how it ended.
[[noreturn]] void EndBySignal(int signal);

} // namespace korvax::cli
