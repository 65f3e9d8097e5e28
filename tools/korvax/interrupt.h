#pragma once
// Ctrl-C and friends while files are being written. For the lifetime of an
// InterruptScope, SIGINT, SIGTERM and SIGHUP only raise a flag; the render loop
// polls it between chunks and unwinds, so the code that made the temporary
// output removes it. A second signal does not wait: it removes the registered
// temporary file at once and ends the process.

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

// The one temporary file a second signal removes; forgotten once it is renamed or removed.
void RegisterTemporaryFile(const std::string& path);
void ForgetTemporaryFile();

// Ends the process by `signal` with its default action, so the parent sees how it ended.
[[noreturn]] void EndBySignal(int signal);

} // namespace korvax::cli
