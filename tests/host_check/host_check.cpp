// Drives a built machine library the way a host does, through the reference host,
// and prints its report (tests/host_check/host_report.h): digests of the
// description, the value texts, and the output audio of several settings. Every
// build of the library must print the same report.
//
//   host_check [--texts] [--x87=53|64] [--state=NAME] [machine-library]
//   host_check --list-states
//
// With --texts every value text is printed as well, to find where two builds part.
// --x87 sets the precision of the x87 unit before the library is loaded, as a
// host may have left it: 53 bits (the usual setting of Windows programs) or 64.
// --state=NAME loads the library and makes every call into it in one of the
// floating-point states of tests/host_check/host_states.h (the host's own code
// runs in its usual state in between), as a host thread may have been left by
// other code; the report must not change. --list-states prints the names of the
// states this build can set.
// Exit status 0 when every call behaved, 1 on a failed check, 2 when the library
// cannot be loaded. Diagnostics go to stderr; stdout carries only the report.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "host/reference_host.h"
#include "tests/host_check/host_report.h"
#include "tests/host_check/host_states.h"

namespace {

using korvax::host::Library;
using korvax::host_check::HostState;

// The x87 control word, or -1 where there is no x87 unit.
int X87Control()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
#else
    return -1;
#endif
}

// Sets the x87 precision-control field (bits 8-9: 2 for 53 bits, 3 for 64).
bool SetX87Precision(int bits)
{
#if defined(__i386__) || defined(__x86_64__)
    if (bits != 53 && bits != 64)
        return false;
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>((control & ~0x300u) | (bits == 53 ? 0x200u : 0x300u));
    __asm__ volatile("fldcw %0" : : "m"(control));
    return true;
#else
    (void)bits;
    return false;
#endif
}

#if defined(__i386__) || defined(__x86_64__)
// The state every call into the machine is made in, and the host's own, saved
// around each call. The report's calls do not nest.
const HostState* gState = nullptr;
unsigned gHostMxcsr = 0;
unsigned short gHostX87 = 0;

void EnterMachine()
{
    gHostMxcsr = _mm_getcsr();
    __asm__ volatile("fnstcw %0" : "=m"(gHostX87));
    const unsigned short control = gState->x87Control;
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control));
    _mm_setcsr(gState->mxcsr);
}

void LeaveMachine()
{
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(gHostX87));
    _mm_setcsr(gHostMxcsr);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    korvax::host_check::ReportOptions options;
    int next = 1;
    for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
        if (std::strcmp(argv[next], "--texts") == 0) {
            options.printTexts = true;
        } else if (std::strcmp(argv[next], "--list-states") == 0) {
#if defined(__i386__) || defined(__x86_64__)
            for (const HostState& state : korvax::host_check::kHostStates)
                if (!state.decimalComma && !state.relocated)
                    std::printf("%s\n", state.name);
#endif
            return 0;
        } else if (std::strncmp(argv[next], "--x87=", 6) == 0) {
            if (!SetX87Precision(std::atoi(argv[next] + 6))) {
                std::fprintf(stderr, "host_check: cannot set %s here\n", argv[next]);
                return 2;
            }
        } else if (std::strncmp(argv[next], "--state=", 8) == 0) {
            const HostState* state = korvax::host_check::FindHostState(argv[next] + 8);
#if defined(__i386__) || defined(__x86_64__)
            if (state == nullptr || state->decimalComma || state->relocated) {
                std::fprintf(stderr, "host_check: no native state %s\n", argv[next] + 8);
                return 2;
            }
            gState = state;
            options.enterMachine = EnterMachine;
            options.leaveMachine = LeaveMachine;
#else
            (void)state;
            std::fprintf(stderr, "host_check: cannot set %s here\n", argv[next]);
            return 2;
#endif
        } else {
            std::fprintf(stderr, "usage: host_check [--texts] [--x87=53|64] [--state=NAME] [machine-library]\n");
            return 2;
        }
    }
    const std::string path = next < argc ? argv[next] : Library::DefaultPath();
    std::string error;
    if (options.enterMachine != nullptr)
        options.enterMachine();   // the library's start-up runs in the state too
    auto library = Library::Open(path, error);
    if (options.leaveMachine != nullptr)
        options.leaveMachine();
    if (!library) {
        std::fprintf(stderr, "host_check: %s\n", error.c_str());
        return 2;
    }
    std::fprintf(stderr, "host_check: %s (%d-bit), x87 control word %#x after loading\n", path.c_str(),
                 int(sizeof(void*) * 8), X87Control());
    const int failures = korvax::host_check::WriteReport(*library, options, stdout);
    if (failures != 0) {
        std::fprintf(stderr, "host_check: %d failed checks\n", failures);
        return 1;
    }
    return 0;
}
