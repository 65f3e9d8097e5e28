// The library's only two exported functions, unmangled.

#include "plugin/description.h"
#include "plugin/machine.h"

#if defined(_WIN32)
#define KORVAX_EXPORT extern "C" __declspec(dllexport)
#else
#define KORVAX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The one constant description; the same address on every call.
KORVAX_EXPORT const korvax::MachineDescription* GetInfo()
{
    return &korvax::Description();
}

// A new, independent machine, or null when memory is exhausted.
KORVAX_EXPORT korvax::MachineSlots* CreateMachine()
{
    return korvax::CreateMultibandMachine();
}
