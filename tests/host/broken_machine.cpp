// A machine library with one deliberate fault, chosen by KORVAX_BROKEN_FAULT, for
// the reference host's tests: whatever a broken or hostile library hands it,
// the host must answer with a clear error, never a crash.

#include <cstdint>
#include <cstring>

#include "plugin/description.h"
#include "plugin/machine.h"

#define KORVAX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Fault {
    kNullInfo = 1,          // GetInfo returns null
    kHugeCount = 2,         // ParameterCount far beyond any parameter block
    kNegativeCount = 3,
    kNullTable = 4,         // parameters counted, but no table
    kNullEntry = 5,         // one descriptor missing from the table
    kBadNoValue = 6,        // a no-value byte that no byte can hold
    kNullObject = 7,        // CreateMachine fails
    kNoParameterBlock = 8,  // the object lacks the pointer to its parameter bytes
    kNoCreateMachine = 9,   // the export is missing
};

korvax::MachineDescription gInfo;
const korvax::ParameterDescriptor* gTable[17];
korvax::ParameterDescriptor gBroken;

const korvax::MachineDescription* BrokenInfo()
{
    gInfo = korvax::Description();
    for (int i = 0; i < 17; ++i)
        gTable[i] = korvax::Description().Parameters[i];
    gInfo.Parameters = gTable;
    switch (KORVAX_BROKEN_FAULT) {
    case kNullInfo: return nullptr;
    case kHugeCount: gInfo.ParameterCount = 1 << 30; break;
    case kNegativeCount: gInfo.ParameterCount = -5; break;
    case kNullTable: gInfo.Parameters = nullptr; break;
    case kNullEntry: gTable[9] = nullptr; break;
    case kBadNoValue:
        gBroken = *gTable[3];
        gBroken.NoValue = 300;
        gTable[3] = &gBroken;
        break;
    default: break;
    }
    return &gInfo;
}

} // namespace

KORVAX_EXPORT const korvax::MachineDescription* GetInfo()
{
    return BrokenInfo();
}

#if KORVAX_BROKEN_FAULT != 9
KORVAX_EXPORT korvax::MachineSlots* CreateMachine()
{
    if (KORVAX_BROKEN_FAULT == kNullObject)
        return nullptr;
    korvax::MachineSlots* machine = korvax::CreateMultibandMachine();
    if (KORVAX_BROKEN_FAULT == kNoParameterBlock && machine != nullptr)
        machine->parameterBytes = nullptr;
    return machine;
}
#endif
