#pragma once
// The reference host's calls into the DLL's machine, made through the checking
// trampoline: CheckedSlotCall (which the reference host calls for every slot
// when built with KORVAX_HOST_CHECKED_CALLS) and the two entry points in the
// form the reference host's Library takes them.
//
// The audio buffers of Process (slot 3) and ProcessStereo (slot 22) are handed
// over as a host that only keeps 4-byte alignment may: copied to 4, 8, 12 and
// 0 mod 16 in turn, between guard words that must come back untouched.

#include <cstdint>

#include "plugin/description.h"

namespace korvax::pe {

void UseEntryPoints(std::uint32_t getInfo, std::uint32_t createMachine);
const MachineDescription* GetInfoEntry();
void* CreateMachineEntry();

// The self-test's faulty machine (faulty/faulty_machine.c) has slots of its own:
// messages then name slots by number alone, and `audioSlot` (when not -1) is the
// one that takes an audio buffer.
void UseFaultyMachine(int audioSlot);

// Audio buffers handed over so far, and how many at each offset mod 16 (0, 4, 8, 12).
struct BufferCounts {
    std::uint64_t buffers;
    std::uint64_t atOffset[4];
};
BufferCounts Buffers();

} // namespace korvax::pe
