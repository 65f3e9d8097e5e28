#include "plugin/machine.h"

#include <new>

#include "dsp/fpu_guard.h"
#include "params/value_text.h"
#include "plugin/description.h"

namespace korvax {

// ---- Root defaults -------------------------------------------------------------

void* MachineSlots::AllocateObject(std::size_t bytes) noexcept
{
    return ::operator new(bytes, std::align_val_t{kObjectAlignment}, std::nothrow);
}

// The root level has nothing to release; it frees the object when bit 0 is set.
// Every level's members are trivially destructible, so freeing is all that is left.
void* MachineSlots::Destroy(std::int32_t flags) noexcept
{
    void* const self = this;
    if (flags & 1)
        ::operator delete(self, std::align_val_t{kObjectAlignment});
    return self;
}

void MachineSlots::Initialise(void*) noexcept {}
void MachineSlots::ApplyParameters() noexcept {}
bool MachineSlots::Process(float*, std::int32_t, std::int32_t) noexcept { return false; }
bool MachineSlots::Slot4(std::int32_t, std::int32_t, std::int32_t, std::int32_t) noexcept { return false; }
void MachineSlots::Slot5() noexcept {}
void MachineSlots::Slot6(void*) noexcept {}
void MachineSlots::Slot7() noexcept {}
void MachineSlots::Slot8(std::int32_t) noexcept {}
void MachineSlots::Slot9(std::int32_t) noexcept {}
void MachineSlots::Slot10(std::int32_t) noexcept {}
bool MachineSlots::Slot11(std::int32_t) noexcept { return false; }
void MachineSlots::Slot12(std::int32_t, std::int32_t, std::int32_t) noexcept {}
void MachineSlots::Slot13(std::int32_t) noexcept {}
const char* MachineSlots::DescribeParameterValue(std::int32_t, std::int32_t) noexcept { return nullptr; }
void* MachineSlots::Slot15() noexcept { return nullptr; }
bool MachineSlots::Slot16(std::int32_t, std::int32_t, std::int32_t) noexcept { return false; }
void MachineSlots::Slot17() noexcept {}
std::int32_t MachineSlots::Slot18(std::int32_t) noexcept { return -1; }

// ---- Extension interface --------------------------------------------------------
// The forwarding slots need the mixer; before Initialise there is none, and they
// answer as the neutral slots do instead of following a null pointer.

void* MachineSlotsEx::Slot0(std::int32_t) noexcept { return nullptr; }
bool MachineSlotsEx::Slot1(std::int32_t) noexcept { return false; }
void MachineSlotsEx::Slot2(std::int32_t, std::int32_t) noexcept {}

std::intptr_t MachineSlotsEx::Slot3(std::int32_t a, std::int32_t b) noexcept
{
    return inputMixer ? inputMixer->Slot1(a, b) : 0;
}

std::intptr_t MachineSlotsEx::Slot4(std::int32_t a) noexcept
{
    return inputMixer ? inputMixer->Slot2(a) : 0;
}

std::intptr_t MachineSlotsEx::Slot5(std::int32_t a, std::int32_t b) noexcept
{
    return inputMixer ? inputMixer->Slot3(a, b) : 0;
}

std::intptr_t MachineSlotsEx::Slot6(std::int32_t a, std::int32_t b, std::int32_t c) noexcept
{
    return inputMixer ? inputMixer->Slot5(a, b, c) : 0;
}

void MachineSlotsEx::Slot7(std::int32_t, std::int32_t, std::int32_t) noexcept {}

std::intptr_t MachineSlotsEx::Slot8(std::int32_t a, std::int32_t b) noexcept
{
    return inputMixer ? inputMixer->Slot4(a, b) : 0;
}

bool MachineSlotsEx::Slot9(std::int32_t, std::int32_t, std::int32_t) noexcept { return false; }

#define KORVAX_EMPTY_EXTENSION_SLOT(n) \
    void MachineSlotsEx::Slot##n() noexcept {}
KORVAX_EMPTY_EXTENSION_SLOT(10) KORVAX_EMPTY_EXTENSION_SLOT(11) KORVAX_EMPTY_EXTENSION_SLOT(12)
KORVAX_EMPTY_EXTENSION_SLOT(13) KORVAX_EMPTY_EXTENSION_SLOT(14) KORVAX_EMPTY_EXTENSION_SLOT(15)
KORVAX_EMPTY_EXTENSION_SLOT(16) KORVAX_EMPTY_EXTENSION_SLOT(17) KORVAX_EMPTY_EXTENSION_SLOT(18)
KORVAX_EMPTY_EXTENSION_SLOT(19) KORVAX_EMPTY_EXTENSION_SLOT(20) KORVAX_EMPTY_EXTENSION_SLOT(21)
KORVAX_EMPTY_EXTENSION_SLOT(22) KORVAX_EMPTY_EXTENSION_SLOT(23) KORVAX_EMPTY_EXTENSION_SLOT(24)
KORVAX_EMPTY_EXTENSION_SLOT(25) KORVAX_EMPTY_EXTENSION_SLOT(26) KORVAX_EMPTY_EXTENSION_SLOT(27)
KORVAX_EMPTY_EXTENSION_SLOT(28) KORVAX_EMPTY_EXTENSION_SLOT(29) KORVAX_EMPTY_EXTENSION_SLOT(30)
KORVAX_EMPTY_EXTENSION_SLOT(31) KORVAX_EMPTY_EXTENSION_SLOT(32) KORVAX_EMPTY_EXTENSION_SLOT(33)
KORVAX_EMPTY_EXTENSION_SLOT(34) KORVAX_EMPTY_EXTENSION_SLOT(35) KORVAX_EMPTY_EXTENSION_SLOT(36)
KORVAX_EMPTY_EXTENSION_SLOT(37) KORVAX_EMPTY_EXTENSION_SLOT(38) KORVAX_EMPTY_EXTENSION_SLOT(39)
KORVAX_EMPTY_EXTENSION_SLOT(40) KORVAX_EMPTY_EXTENSION_SLOT(41)
#undef KORVAX_EMPTY_EXTENSION_SLOT

// ---- Mixing level ---------------------------------------------------------------

// Destroys the mixer (once: the pointers are cleared, so a second Destroy
// without freeing cannot destroy it again), then the root level frees.
void* MixingMachine::Destroy(std::int32_t flags) noexcept
{
    if (inputMixer != nullptr) {
        InputMixer* const mixer = inputMixer;
        inputMixer = nullptr;
        extension.inputMixer = nullptr;
        mixer->Destroy(1);
    }
    return MachineSlots::Destroy(flags);
}

// Wires up the InputMixer, in the order the host relies on. A second Initialise
// first destroys the mixer of the first, so that no mixer is orphaned.
void MixingMachine::Initialise(void* argument) noexcept
{
    if (hostCallbacks == nullptr)
        return;
    if (inputMixer != nullptr) {
        InputMixer* const old = inputMixer;
        inputMixer = nullptr;
        extension.inputMixer = nullptr;
        old->Destroy(1);
    }
    InputMixer* const mixer = hostCallbacks->GetInputMixer(-1, -1);
    inputMixer = mixer;
    if (mixer == nullptr)
        return;
    mixer->machine = this;
    // Through the slot table, so that a further derived machine can substitute it.
    auto* const ext = static_cast<MachineSlotsEx*>(GetExtension());
    if (ext != nullptr)
        ext->inputMixer = mixer;
    hostCallbacks->RegisterExtension(ext);
    mixer->Initialise(argument);
}

bool MixingMachine::Process(float* samples, std::int32_t count, std::int32_t mode) noexcept
{
    return inputMixer != nullptr && inputMixer->Process(samples, count, mode);
}

bool MixingMachine::Slot4(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) noexcept
{
    return inputMixer != nullptr && inputMixer->Slot7(a, b, c, d);
}

void MixingMachine::Slot6(void* argument) noexcept
{
    if (inputMixer != nullptr)
        inputMixer->Slot9(argument);
}

// ---- The concrete machine -------------------------------------------------------

// Sets the slot tables (by construction), the two pointers into the parameter
// block and a null mixer. The rest gets defined values too, although the host's
// initialisation sets it again: the block reads "unchanged" everywhere, the
// working set holds the start values with Input 89 and StereoLink 0, and the
// engine is reset, so a host that processes before initialising reads no garbage.
MultibandMachine::MultibandMachine() noexcept
{
    for (std::uint8_t& value : block.values)
        value = 255;
    WriteAttribute(block, 0);
    parameterBytes = block.values;
    attributeBytes = block.attribute;
    working = ConstructionParameters();
    engine.metersOn = false;
    ResetEngine(engine);
}

void* MultibandMachine::Destroy(std::int32_t flags) noexcept
{
    // Nothing of this level's needs releasing: all storage is inline.
    return MixingMachine::Destroy(flags);
}

// The slots that compute hold an FpuGuard (dsp/fpu_guard.h): the host may call
// from a thread whose floating-point state would change the results or trap.
// The slots that call the host's objects do so outside it, in the host's state.

void MultibandMachine::ApplyParameters() noexcept
{
    const FpuGuard guard;
    const MachineDescription& description = Description();
    for (int i = 0; i < kParameterCount; ++i) {
        const std::uint8_t value = block.values[i];
        if (std::int32_t(value) != description.Parameters[i]->NoValue)
            StoreParameterValue(working, i, value);
    }
    working.StereoLink = ReadAttribute(block);
}

const char* MultibandMachine::DescribeParameterValue(std::int32_t index, std::int32_t value) noexcept
{
    const FpuGuard guard;
    return korvax::DescribeParameterValue(index, value);
}

void* MultibandMachine::GetExtension() noexcept
{
    return &extension;
}

void MultibandMachine::Slot20(std::int32_t) noexcept {}

bool MultibandMachine::Slot21(float*, std::int32_t, std::int32_t) noexcept
{
    return false;   // this machine processes only through ProcessStereo
}

bool MultibandMachine::ProcessStereo(float* samples, std::int32_t pairCount, std::int32_t mode) noexcept
{
    const FpuGuard guard;
    const std::int32_t* const sampleRate = masterInfo != nullptr ? &masterInfo->sampleRate : nullptr;
    return korvax::ProcessStereo(engine, working, sampleRate, samples, pairCount, mode);
}

void MultibandMachine::InitialiseEngine(void*) noexcept
{
    if (inputMixer != nullptr)
        inputMixer->Slot10(1);
    const FpuGuard guard;
    StoreStartValues(working);
    ResetEngine(engine);
}

void MultibandMachine::Slot24(void*) noexcept {}

MultibandMachine* CreateMultibandMachine() noexcept
{
    void* const memory = MachineSlots::AllocateObject(sizeof(MultibandMachine));
    if (memory == nullptr)
        return nullptr;
    const FpuGuard guard;
    return new (memory) MultibandMachine();
}

} // namespace korvax
