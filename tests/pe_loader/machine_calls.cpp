#include "tests/pe_loader/machine_calls.h"

#include <cstring>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "tests/pe_loader/checked_call.h"

namespace korvax::pe {
namespace {

std::uint32_t gGetInfo = 0;
std::uint32_t gCreateMachine = 0;
BufferCounts gBuffers = {};

constexpr std::uint32_t kGuardWords = 16;
constexpr std::uint32_t kGuardPattern = 0x7FA5A5A5;   // a NaN the machine never writes
constexpr std::uint32_t kOffsets[4] = {4, 8, 12, 0};
constexpr std::int32_t kMaxPairs = 1 << 24;

// The staged buffers of the calls under way: a nested call (the mixer's
// ProcessStereo inside Process) passes the staged buffer on as it is.
struct Active {
    std::uintptr_t begin;
    std::uintptr_t end;
};
std::vector<Active> gActive;

bool gFaultyMachine = false;
int gFaultyAudioSlot = -1;

const char* SlotName(int slot)
{
    switch (gFaultyMachine ? -1 : slot) {
    case host::kSlotDestroy: return "slot 0 (Destroy)";
    case host::kSlotInitialise: return "slot 1 (Initialise)";
    case host::kSlotApplyParameters: return "slot 2 (ApplyParameters)";
    case host::kSlotProcess: return "slot 3 (Process)";
    case host::kSlotDescribeParameterValue: return "slot 14 (DescribeParameterValue)";
    case host::kSlotGetExtension: return "slot 19 (GetExtension)";
    case host::kSlotProcessStereo: return "slot 22 (ProcessStereo)";
    case host::kSlotInitialiseEngine: return "slot 23 (InitialiseEngine)";
    default: {
        static std::string names[64];
        if (slot < 0 || slot >= 64)
            return "a slot out of range";
        if (names[slot].empty())
            names[slot] = "slot " + std::to_string(slot);
        return names[slot].c_str();
    }
    }
}

bool Staged(std::uint32_t address)
{
    for (const Active& a : gActive)
        if (address >= a.begin && address <= a.end)
            return true;
    return false;
}

std::uint64_t StagedCall(const char* what, std::uint32_t function, void* object, const std::uint32_t* words)
{
    float* const samples = reinterpret_cast<float*>(std::uintptr_t(words[0]));
    const auto pairs = static_cast<std::int32_t>(words[1]);
    const std::uint32_t floats = pairs > 0 && pairs <= kMaxPairs ? 2 * std::uint32_t(pairs) : 0;
    const std::uint32_t offset = kOffsets[gBuffers.buffers % 4];
    ++gBuffers.buffers;
    ++gBuffers.atOffset[offset / 4];

    std::vector<std::uint32_t> area(floats + 2 * kGuardWords + 4, kGuardPattern);
    std::uint32_t start = kGuardWords;
    while (reinterpret_cast<std::uintptr_t>(&area[start]) % 16 != offset)
        ++start;
    const std::uint32_t end = start + floats;
    if (floats != 0)
        std::memcpy(&area[start], samples, 4 * std::size_t(floats));
    const auto address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&area[start]));
    const std::uint32_t staged[3] = {address, words[1], words[2]};
    gActive.push_back({address, address + 4 * floats});
    const std::uint64_t result =
        CheckedCall(what, function, Convention::Thiscall, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(object)),
                    staged, 3);
    gActive.pop_back();
    for (std::uint32_t i = 0; i < start; ++i)
        if (area[i] != kGuardPattern)
            ReportViolation(what, "the callee wrote before the start of the audio buffer (" +
                                      std::to_string(start - i) + " float(s) before it)");
    for (std::uint32_t i = end; i < area.size(); ++i)
        if (area[i] != kGuardPattern)
            ReportViolation(what, "the callee wrote past the end of the audio buffer (float " +
                                      std::to_string(i - start) + " of " + std::to_string(floats) + ")");
    if (floats != 0)
        std::memcpy(samples, &area[start], 4 * std::size_t(floats));
    return result;
}

} // namespace

void UseFaultyMachine(int audioSlot)
{
    gFaultyMachine = true;
    gFaultyAudioSlot = audioSlot;
}

void UseEntryPoints(std::uint32_t getInfo, std::uint32_t createMachine)
{
    gGetInfo = getInfo;
    gCreateMachine = createMachine;
}

const MachineDescription* GetInfoEntry()
{
    const std::uint64_t result = CheckedCall("GetInfo", gGetInfo, Convention::Cdecl, 0, nullptr, 0);
    return reinterpret_cast<const MachineDescription*>(std::uintptr_t(std::uint32_t(result)));
}

void* CreateMachineEntry()
{
    const std::uint64_t result = CheckedCall("CreateMachine", gCreateMachine, Convention::Cdecl, 0, nullptr, 0);
    return reinterpret_cast<void*>(std::uintptr_t(std::uint32_t(result)));
}

BufferCounts Buffers()
{
    return gBuffers;
}

} // namespace korvax::pe

namespace korvax::host {

std::uint64_t CheckedSlotCall(void* object, int slot, const std::uint32_t* words, int count)
{
    const std::uint32_t* table = *static_cast<const std::uint32_t* const*>(object);
    const std::uint32_t function = table[slot];
    const char* what = pe::SlotName(slot);
    const bool audio = pe::gFaultyMachine ? slot == pe::gFaultyAudioSlot
                                          : slot == kSlotProcess || slot == kSlotProcessStereo;
    if (audio && count == 3 && !pe::Staged(words[0]))
        return pe::StagedCall(what, function, object, words);
    return pe::CheckedCall(what, function, pe::Convention::Thiscall,
                           static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(object)), words, count);
}

} // namespace korvax::host
