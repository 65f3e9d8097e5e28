// Runs the shipped 32-bit Windows DLL itself, in this 32-bit Linux process
// (under user-mode emulation on a 64-bit machine): loads it as Windows does
// (pe_image.h), binds its imports to stand-ins (stand_ins.h), gives the thread a
// Windows thread block (thread_block.h), and drives the machine through the
// reference host's own code in the 32-bit layout, every call checked
// (checked_call.h, machine_calls.h).
//
//   pe_loader [--state=NAME] [--texts] DLL   the host check's report for DLL (as
//                                            tests/host_check prints it), every
//                                            call made in host state NAME
//   pe_loader --imports [--state=NAME] DLL   loads DLL, lists its exports and its
//                                            imports as bound, unloads it
//   pe_loader --self-test FOLDER             proves each check fires, on the faulty
//                                            DLLs built into FOLDER (faulty/)
//   pe_loader --list-states                  the host states' names
//
// The host states are tests/host_check/host_states.h's; the default is Windows'
// own. Exit status: 0 all went well; 1 a check of the report failed; 2 the DLL
// cannot be loaded; 3 a call broke the calling convention or the FPU state;
// 4 the DLL crashed; 5 the DLL stopped itself. Diagnostics go to stderr.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "tests/host_check/host_report.h"
#include "tests/host_check/host_states.h"
#include "tests/pe_loader/checked_call.h"
#include "tests/pe_loader/machine_calls.h"
#include "tests/pe_loader/pe_image.h"
#include "tests/pe_loader/stand_ins.h"
#include "tests/pe_loader/thread_block.h"

namespace {

using korvax::host_check::HostState;
using namespace korvax::pe;

constexpr const char* kModuleName = "Orlems Korvax 2.dll";

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%#x", value);
    return text;
}

// A crash inside the DLL (or anywhere) is reported with the call under way.
void OnFatalSignal(int signal, siginfo_t* info, void*)
{
    char text[256];
    const char* call = CurrentCall();
    const int length = std::snprintf(text, sizeof text, "pe_loader: the DLL crashed: signal %d (%s) at address %p during %s\n",
                                     signal, strsignal(signal), info->si_addr, call != nullptr ? call : "no call");
    if (length > 0)
        (void)!write(2, text, std::size_t(length));
    _exit(4);
}

void InstallSignalHandlers()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO;
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE})
        sigaction(signal, &action, nullptr);
}

struct Machine {
    std::unique_ptr<Image> image;
    std::uint32_t getInfo = 0;
    std::uint32_t createMachine = 0;
};

// Loads `path` in `state` and runs its attach routines; the two exports must
// agree by name and by ordinal (CreateMachine 1, GetInfo 2).
bool Load(const std::string& path, const HostState& state, Machine& machine, std::string& error)
{
    static bool threadBlock = false;
    if (!threadBlock && !InstallThreadBlock(error))
        return false;
    threadBlock = true;
    SetCallControl({state.x87Control, state.mxcsr});
    UseDecimalComma(state.decimalComma);
    machine.image = Image::Load(path, state.relocated, error);
    if (!machine.image || !machine.image->Attach(error))
        return false;
    const struct {
        const char* name;
        std::uint32_t ordinal;
        std::uint32_t* address;
    } exports[] = {{"CreateMachine", 1, &machine.createMachine}, {"GetInfo", 2, &machine.getInfo}};
    for (const auto& e : exports) {
        const std::uint32_t byName = machine.image->ExportByName(e.name);
        const std::uint32_t byOrdinal = machine.image->ExportByOrdinal(e.ordinal);
        if (byName == 0) {
            error = std::string("the DLL does not export ") + e.name;
            return false;
        }
        if (byName != byOrdinal) {
            error = std::string("export ") + e.name + " is not ordinal " + std::to_string(e.ordinal);
            return false;
        }
        *e.address = byName;
    }
    UseEntryPoints(machine.getInfo, machine.createMachine);
    return true;
}

void Describe(const std::string& path, const HostState& state, const Machine& machine)
{
    const Image& image = *machine.image;
    std::fprintf(stderr, "pe_loader: %s (module \"%s\") at %s", path.c_str(), image.ModuleName().c_str(),
                 Hex(image.Base()).c_str());
    if (image.Base() != image.PreferredBase())
        std::fprintf(stderr, ", away from its base %s (%u relocations applied)", Hex(image.PreferredBase()).c_str(),
                     image.RelocationsApplied());
    std::fprintf(stderr, "; %zu imports bound; CreateMachine @1 at %s, GetInfo @2 at %s\n", image.Imports().size(),
                 Hex(machine.createMachine).c_str(), Hex(machine.getInfo).c_str());
    std::fprintf(stderr, "pe_loader: host state %s: x87 control %s, MXCSR %s%s\n", state.name,
                 Hex(state.x87Control).c_str(), Hex(state.mxcsr).c_str(),
                 state.decimalComma ? ", the C runtime's locale with a decimal comma" : "");
}

void SummariseCalls()
{
    const CallCounts calls = Counts();
    const BufferCounts buffers = Buffers();
    std::fprintf(stderr,
                 "pe_loader: %llu calls into the DLL, every one checked (esp at 0/4/8/12 mod 16: %llu/%llu/%llu/%llu); "
                 "%llu audio buffers between guard words (at 4/8/12/0 mod 16: %llu/%llu/%llu/%llu)\n",
                 static_cast<unsigned long long>(calls.calls), static_cast<unsigned long long>(calls.atOffset[0]),
                 static_cast<unsigned long long>(calls.atOffset[1]), static_cast<unsigned long long>(calls.atOffset[2]),
                 static_cast<unsigned long long>(calls.atOffset[3]), static_cast<unsigned long long>(buffers.buffers),
                 static_cast<unsigned long long>(buffers.atOffset[1]), static_cast<unsigned long long>(buffers.atOffset[2]),
                 static_cast<unsigned long long>(buffers.atOffset[3]), static_cast<unsigned long long>(buffers.atOffset[0]));
}

int Report(const std::string& path, const HostState& state, bool printTexts)
{
    Machine machine;
    std::string error;
    if (!Load(path, state, machine, error)) {
        std::fprintf(stderr, "pe_loader: %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }
    if (machine.image->ModuleName() != kModuleName) {
        std::fprintf(stderr, "pe_loader: the module calls itself \"%s\", not \"%s\"\n",
                     machine.image->ModuleName().c_str(), kModuleName);
        return 1;
    }
    Describe(path, state, machine);
    auto library = korvax::host::Library::FromEntryPoints(GetInfoEntry, CreateMachineEntry, path);
    korvax::host_check::ReportOptions options;
    options.printTexts = printTexts;
    const int failures = korvax::host_check::WriteReport(*library, options, stdout);
    std::fflush(stdout);
    library.reset();
    machine.image->Detach();
    SummariseCalls();
    if (failures != 0) {
        std::fprintf(stderr, "pe_loader: %d failed checks in the report\n", failures);
        return 1;
    }
    return 0;
}

int ListImports(const std::string& path, const HostState& state)
{
    Machine machine;
    std::string error;
    if (!Load(path, state, machine, error)) {
        std::fprintf(stderr, "pe_loader: %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }
    Describe(path, state, machine);
    std::printf("exports: CreateMachine @1, GetInfo @2, module \"%s\"\n", machine.image->ModuleName().c_str());
    for (const BoundImport& i : machine.image->Imports())
        std::printf("import %s!%s: %s\n", i.module.c_str(), i.name.c_str(), i.kind.c_str());
    machine.image->Detach();
    return 0;
}

// ---- The self-test -----------------------------------------------------------------

// One case: a faulty DLL (faulty/faulty_machine.c, built as `dll`), loaded at its
// base or elsewhere, and one of its machine's slots called `calls` times; the
// output must hold each of the `expect` texts (separated by '|').
struct SelfTestCase {
    const char* check;
    const char* dll;
    bool elsewhere;
    int slot;          // -1: loading alone
    int calls;
    bool audio;        // the slot takes (samples, pairs, mode) and gets a staged buffer
    bool sorted;       // results printed in increasing order
    const char* expect;
};

const SelfTestCase kSelfTest[] = {
    {"a correct call passes every check", "faulty.dll", false, 0, 4, false, false,
     "results: 00000003 00000003 00000003 00000003|process detach"},
    {"TLS callbacks and DllMain ran before the first call", "faulty.dll", false, 18, 1, false, false,
     "results: 00000101"},
    {"the callee pops exactly its arguments", "faulty.dll", false, 1, 1, false, false,
     "popped 4 bytes of arguments, expected 8"},
    {"ebx is kept", "faulty.dll", false, 2, 1, false, false, "ebx 0x12345678"},
    {"esi is kept", "faulty.dll", false, 3, 1, false, false, "esi 0x12345678"},
    {"edi is kept", "faulty.dll", false, 4, 1, false, false, "edi 0x12345678"},
    {"ebp is kept", "faulty.dll", false, 5, 1, false, false, "ebp 0x12345678"},
    {"the direction flag is clear", "faulty.dll", false, 6, 1, false, false, "the direction flag is set on return"},
    {"the x87 stack is empty", "faulty.dll", false, 7, 1, false, false, "values left on the x87 stack"},
    {"the x87 control word is as given", "faulty.dll", false, 8, 1, false, false,
     "the x87 control word is 0x7f on return, given 0x27f"},
    {"MXCSR is as given", "faulty.dll", false, 9, 1, false, false, "MXCSR is 0x9fc0 on return, given 0x1f80"},
    {"calls come with esp at 0, 4, 8 and 12 mod 16", "faulty.dll", false, 12, 4, false, true,
     "results: 00000000 00000004 00000008 0000000c"},
    {"a DLL that assumes a 16-byte aligned stack fails", "faulty.dll", false, 17, 4, false, false,
     "the DLL crashed: signal 11|during slot 17"},
    {"audio buffers come at 4, 8, 12 and 0 mod 16", "faulty.dll", false, 13, 4, true, true,
     "results: 00000000 00000004 00000008 0000000c"},
    {"a write past the end of the audio buffer is caught", "faulty.dll", false, 10, 1, true, false,
     "the callee wrote past the end of the audio buffer"},
    {"a write before the start of the audio buffer is caught", "faulty.dll", false, 11, 1, true, false,
     "the callee wrote before the start of the audio buffer"},
    {"heap blocks lie at 8 mod 16, filled with 0xFF", "faulty.dll", false, 14, 1, false, false, "results: 00ffff08"},
    {"read-only sections are read-only", "faulty.dll", false, 15, 1, false, false,
     "the DLL crashed: signal 11|during slot 15"},
    {"data is not executable", "faulty.dll", false, 16, 1, false, false, "the DLL crashed: signal 11|during slot 16"},
    {"the DLL runs away from its base, relocated", "faulty.dll", true, 0, 1, false, false,
     "relocations applied|results: 00000003"},
    {"an unknown import stops the load, named", "faulty-unknown-import.dll", false, -1, 0, false, false,
     "unknown import KERNEL32.dll!Beep"},
    {"DllMain's failure stops the load", "faulty-dllmain-fails.dll", false, -1, 0, false, false,
     "DllMain (process attach) returned FALSE"},
    {"a DLL without relocations is refused away from its base", "faulty-no-relocations.dll", true, -1, 0, false,
     false, "has no base relocations"},
    {"exports by name and by ordinal must agree", "faulty-swapped-ordinals.dll", false, -1, 0, false, false,
     "export CreateMachine is not ordinal 1"},
};

// The child's part of a case: load, call, print the results, unload.
int RunCase(const std::string& folder, const SelfTestCase& c)
{
    korvax::host_check::HostState state = korvax::host_check::kHostStates[0];
    state.relocated = c.elsewhere;
    Machine machine;
    std::string error;
    const std::string path = folder + "/" + c.dll;
    if (!Load(path, state, machine, error)) {
        std::fprintf(stderr, "pe_loader: %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }
    Describe(path, state, machine);
    UseFaultyMachine(c.audio ? c.slot : -1);
    if (c.slot >= 0) {
        void* const object = CreateMachineEntry();
        std::vector<std::uint32_t> values;
        for (int i = 0; i < c.calls; ++i) {
            float samples[32] = {};
            const std::uint32_t words[3] = {
                c.audio ? static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(samples)) : 1u,
                c.audio ? 16u : 2u, 3u};
            values.push_back(std::uint32_t(korvax::host::CheckedSlotCall(object, c.slot, words, c.audio ? 3 : 2)));
        }
        if (c.sorted)
            std::sort(values.begin(), values.end());
        std::string results = "results:";
        for (const std::uint32_t value : values) {
            char text[16];
            std::snprintf(text, sizeof text, " %08x", value);
            results += text;
        }
        std::printf("%s\n", results.c_str());
        std::fflush(stdout);
    }
    machine.image->Detach();
    return 0;
}

int SelfTest(const std::string& folder)
{
    int missed = 0;
    for (const SelfTestCase& c : kSelfTest) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return 2;
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t child = fork();
        if (child == 0) {
            close(pipeEnds[0]);
            dup2(pipeEnds[1], 1);
            dup2(pipeEnds[1], 2);
            std::_Exit(RunCase(folder, c));
        }
        close(pipeEnds[1]);
        std::string output;
        char buffer[4096];
        ssize_t got;
        while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
            output.append(buffer, std::size_t(got));
        close(pipeEnds[0]);
        int status = 0;
        waitpid(child, &status, 0);

        bool held = true;
        std::string expect = c.expect;
        for (std::size_t from = 0; from <= expect.size();) {
            const std::size_t bar = expect.find('|', from);
            const std::string part = expect.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
            held = held && output.find(part) != std::string::npos;
            from = bar == std::string::npos ? expect.size() + 1 : bar + 1;
        }
        // What the case printed that shows the check at work: its verdict line.
        std::string shown;
        for (const char* marker : {"check failed: ", "crashed: ", "results:"}) {
            const std::size_t at = output.find(marker);
            if (at != std::string::npos) {
                shown = output.substr(at, output.find('\n', at) - at);
                break;
            }
        }
        if (shown.empty()) {   // a refused load: the loader's last line
            const std::size_t at = output.rfind("pe_loader: ");
            if (at != std::string::npos)
                shown = output.substr(at + 11, output.find('\n', at) - at - 11);
        }
        std::printf("%-4s %-58s %s\n", held ? "ok" : "FAIL", c.check, shown.c_str());
        if (!held) {
            ++missed;
            std::printf("     expected \"%s\"; the run printed:\n%s\n", c.expect, output.c_str());
        }
    }
    std::printf("%s: %d of %zu checks shown to work\n", missed == 0 ? "self-test passed" : "self-test FAILED",
                int(std::size(kSelfTest)) - missed, std::size(kSelfTest));
    return missed == 0 ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: pe_loader [--state=NAME] [--texts] DLL\n"
                         "       pe_loader --imports [--state=NAME] DLL\n"
                         "       pe_loader --self-test FOLDER\n"
                         "       pe_loader --list-states\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    InstallSignalHandlers();
    const HostState* state = &korvax::host_check::kHostStates[0];
    bool texts = false;
    bool imports = false;
    int next = 1;
    for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
        const std::string option = argv[next];
        if (option == "--texts") {
            texts = true;
        } else if (option == "--imports") {
            imports = true;
        } else if (option.rfind("--state=", 0) == 0) {
            state = korvax::host_check::FindHostState(argv[next] + 8);
            if (state == nullptr) {
                std::fprintf(stderr, "pe_loader: no host state %s (--list-states)\n", argv[next] + 8);
                return 2;
            }
        } else if (option == "--list-states") {
            for (const HostState& s : korvax::host_check::kHostStates)
                std::printf("%s\n", s.name);
            return 0;
        } else if (option == "--self-test") {
            return next + 1 < argc ? SelfTest(argv[next + 1]) : Usage();
        } else {
            return Usage();
        }
    }
    if (next + 1 != argc)
        return Usage();
    return imports ? ListImports(argv[next], *state) : Report(argv[next], *state, texts);
}
