#include "tools/korvax/interrupt.h"

#include <csignal>
#include <cstring>

#include <unistd.h>

#include "tools/korvax/failure.h"

namespace korvax::cli {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t gPendingSignal = 0;
volatile std::sig_atomic_t gTemporaryRegistered = 0;
char gTemporaryPath[4096];
struct sigaction gPrevious[3];

extern "C" void OnSignal(int signal)
{
    if (gPendingSignal != 0) {
        // Second signal: the loop has not reached its poll yet; clean up here.
        if (gTemporaryRegistered != 0)
            unlink(gTemporaryPath);
        _exit(128 + signal);
    }
    gPendingSignal = signal;
}

} // namespace

InterruptScope::InterruptScope()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i)
        sigaction(kSignals[i], &action, &gPrevious[i]);
}

InterruptScope::~InterruptScope()
{
    for (int i = 0; i < 3; ++i)
        sigaction(kSignals[i], &gPrevious[i], nullptr);
}

void ThrowIfInterrupted()
{
    if (gPendingSignal != 0)
        throw Interrupted(gPendingSignal);
}

void RegisterTemporaryFile(const std::string& path)
{
    gTemporaryRegistered = 0;
    if (path.size() >= sizeof gTemporaryPath)
        return;   // too long to keep; the first-signal path still removes it
    std::memcpy(gTemporaryPath, path.c_str(), path.size() + 1);
    gTemporaryRegistered = 1;
}

void ForgetTemporaryFile()
{
    gTemporaryRegistered = 0;
}

void EndBySignal(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    _exit(128 + signal);
}

} // namespace korvax::cli
