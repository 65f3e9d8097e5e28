#include "tools/korvax/interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "tools/korvax/failure.h"

namespace korvax::cli {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = 3;
// More than the renders the tool runs at once (one per processor, at most 64).
constexpr int kSlotCount = 64;
constexpr std::size_t kPathBytes = 4096;

// A slot's path is written only by its owner between taking the slot (free ->
// writing) and publishing it (writing -> ready), and read by the handler only
// after claiming it (ready -> claimed). The release store that publishes a
// path orders the copy before it for a handler on any thread (a signal fence
// alone would order it only for a handler on the owner's thread); the handler's
// claim is the matching acquire. Lock-free atomics are safe in a handler.
enum SlotState : int { kFree, kWriting, kReady, kClaimed };
struct Slot {
    std::atomic<int> state{kFree};
    char path[kPathBytes];
};
static_assert(std::atomic<int>::is_always_lock_free);

std::atomic<int> gPendingSignal{0};
// Files being made and registered now, and whether a second signal is ending the
// process. The handler sets the one and then waits for the other to reach 0;
// a maker counts itself in and then checks the one (both sequentially
// consistent): so either the maker makes nothing, or the handler finds its file
// registered.
std::atomic<int> gMaking{0};
std::atomic<bool> gEnding{false};
Slot gSlots[kSlotCount];
struct sigaction gPrevious[kSignalCount];
bool gInstalled[kSignalCount];

// Default action, unblocked, raised: the process ends by `signal` itself.
[[noreturn]] void DieBy(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);   // only if the default action did not end the process
}

extern "C" void OnSignal(int signal)
{
    const int savedErrno = errno;
    int none = 0;
    if (gPendingSignal.compare_exchange_strong(none, signal)) {
        errno = savedErrno;
        return;   // the first: the render loops see it and unwind
    }
    // The second: the loops have not got there yet; remove what they would and end.
    gEnding.store(true);
    while (gMaking.load() != 0) {
        const struct timespec pause {0, 100000};
        nanosleep(&pause, nullptr);
    }
    for (Slot& slot : gSlots) {
        int ready = kReady;
        if (slot.state.compare_exchange_strong(ready, kClaimed, std::memory_order_acquire))
            unlink(slot.path);
    }
    DieBy(signal);
}

} // namespace

InterruptScope::InterruptScope()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : kSignals)
        sigaddset(&action.sa_mask, signal);   // one handler at a time
    for (int i = 0; i < kSignalCount; ++i) {
        gInstalled[i] = false;
        if (sigaction(kSignals[i], nullptr, &gPrevious[i]) != 0 || gPrevious[i].sa_handler == SIG_IGN)
            continue;   // ignored by whoever started us (nohup): leave it so
        gInstalled[i] = sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

InterruptScope::~InterruptScope()
{
    for (int i = 0; i < kSignalCount; ++i)
        if (gInstalled[i])
            sigaction(kSignals[i], &gPrevious[i], nullptr);
}

void ThrowIfInterrupted()
{
    if (const int signal = gPendingSignal.load())
        throw Interrupted(signal);
}

int PendingSignal() noexcept
{
    return gPendingSignal.load();
}

int TemporaryFileRegistration::Create(std::string& pathTemplate) noexcept
{
    // This thread takes no signal meanwhile, so a handler waiting for the file
    // to be registered runs on another thread, never on the one it waits for.
    sigset_t signals, previous;
    sigemptyset(&signals);
    for (const int signal : kSignals)
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    gMaking.fetch_add(1);
    int fd = -1;
    if (gEnding.load()) {
        errno = EINTR;
    } else {
        fd = ::mkostemp(pathTemplate.data(), O_CLOEXEC);
        for (int i = 0; fd >= 0 && pathTemplate.size() < kPathBytes && i < kSlotCount; ++i) {
            int free = kFree;
            if (!gSlots[i].state.compare_exchange_strong(free, kWriting, std::memory_order_acquire))
                continue;
            std::memcpy(gSlots[i].path, pathTemplate.c_str(), pathTemplate.size() + 1);
            gSlots[i].state.store(kReady, std::memory_order_release);
            slot_ = i;
            break;
        }
    }
    const int error = errno;
    gMaking.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return fd;
}

void TemporaryFileRegistration::Forget() noexcept
{
    if (slot_ < 0)
        return;
    // A slot the handler has claimed stays claimed: the process is ending.
    int ready = kReady;
    gSlots[slot_].state.compare_exchange_strong(ready, kFree, std::memory_order_release);
    slot_ = -1;
}

void EndBySignal(int signal)
{
    DieBy(signal);
}

} // namespace korvax::cli
