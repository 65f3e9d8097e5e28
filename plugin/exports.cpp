// The library's exported functions, unmangled: GetInfo and CreateMachine, which
// are all the host's DLL exports; and, in the Linux library only, the meters of
// the machine's gain followers for this project's own tools and plug-in.

#include <cstddef>
#include <cstdint>

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

#if !defined(_WIN32)
// Switches the gain meters of `machine` (an object this library's CreateMachine
// made) on (on > 0) or off; either way they start cleared. Meters change
// nothing the machine computes; while they are off the engine keeps none.
KORVAX_EXPORT void KorvaxSwitchMeters(korvax::MachineSlots* machine, std::int32_t on)
{
    korvax::SwitchMeters(static_cast<korvax::MultibandMachine*>(machine)->engine, on > 0);
}

// Copies the meters since they were last taken into lowest[0 .. 7] (per gain
// state, low L, low R, mid L, mid R, high L, high R, limiter L, limiter R: the
// smallest gain it held after any pair, 1.0 for none) and clears them. Returns
// the number of pairs they cover (0: none went through the dynamics stage).
// Call on the thread that processes, between processing calls.
KORVAX_EXPORT std::int64_t KorvaxTakeMeters(korvax::MachineSlots* machine, float* lowest)
{
    const korvax::GainMeters taken = korvax::TakeMeters(static_cast<korvax::MultibandMachine*>(machine)->engine);
    for (int i = 0; i < korvax::kGainStateCount; ++i)
        lowest[i] = taken.lowest[std::size_t(i)];
    return taken.pairs;
}
#endif
