#pragma once
// The machine object as the host sees it: six leading fields the host reads and
// writes directly, a primary slot table the host and its InputMixer call, and an
// embedded extension object with a slot table of its own.
//
// The slot tables are the classes' virtual functions, declared in slot order:
// no other virtual function and no virtual destructor (under the Itanium ABI a
// virtual destructor takes two slots and would shift every slot after it). None
// of these classes is final and none lives in an unnamed namespace, so a call
// such as Initialise's GetExtension really goes through the table and a further
// derived machine can substitute a slot. Slot arguments the host passes as
// "values" are 32-bit integers; pointers are pointers. Every slot is noexcept.

#include <cstddef>
#include <cstdint>

#include "dsp/block_engine.h"
#include "params/parameter_block.h"
#include "params/working_parameters.h"
#include "plugin/host_services.h"

namespace korvax {

// The root interface: slots 0 to 18, each with a neutral default.
class MachineSlots {
public:
    virtual void* KORVAX_SLOT Destroy(std::int32_t flags) noexcept;                                    // 0
    virtual void KORVAX_SLOT Initialise(void* argument) noexcept;                                       // 1
    virtual void KORVAX_SLOT ApplyParameters() noexcept;                                                // 2
    virtual bool KORVAX_SLOT Process(float* samples, std::int32_t count, std::int32_t mode) noexcept;   // 3
    virtual bool KORVAX_SLOT Slot4(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) noexcept; // 4
    virtual void KORVAX_SLOT Slot5() noexcept;                                                          // 5
    virtual void KORVAX_SLOT Slot6(void* argument) noexcept;                                            // 6
    virtual void KORVAX_SLOT Slot7() noexcept;                                                          // 7
    virtual void KORVAX_SLOT Slot8(std::int32_t a) noexcept;                                            // 8
    virtual void KORVAX_SLOT Slot9(std::int32_t a) noexcept;                                            // 9
    virtual void KORVAX_SLOT Slot10(std::int32_t a) noexcept;                                           // 10
    virtual bool KORVAX_SLOT Slot11(std::int32_t a) noexcept;                                           // 11
    virtual void KORVAX_SLOT Slot12(std::int32_t a, std::int32_t b, std::int32_t c) noexcept;           // 12
    virtual void KORVAX_SLOT Slot13(std::int32_t a) noexcept;                                           // 13
    virtual const char* KORVAX_SLOT DescribeParameterValue(std::int32_t index, std::int32_t value) noexcept; // 14
    virtual void* KORVAX_SLOT Slot15() noexcept;                                                        // 15
    virtual bool KORVAX_SLOT Slot16(std::int32_t a, std::int32_t b, std::int32_t c) noexcept;           // 16
    virtual void KORVAX_SLOT Slot17() noexcept;                                                         // 17
    virtual std::int32_t KORVAX_SLOT Slot18(std::int32_t a) noexcept;                                   // 18

    // Leading fields 2 to 6 (field 1 is the slot-table pointer).
    std::uint8_t* parameterBytes = nullptr;    // the parameter block; the host writes through it
    void* hostField = nullptr;                 // the host's; never read or set after construction
    std::uint8_t* attributeBytes = nullptr;    // the unaligned 32-bit attribute in the block
    const MasterInfo* masterInfo = nullptr;    // written by the host
    HostCallbacks* hostCallbacks = nullptr;    // written by the host; used only by Initialise

    // Every machine object is allocated and freed with this alignment.
    static constexpr std::size_t kObjectAlignment = 64;
    static void* AllocateObject(std::size_t bytes) noexcept;   // null when memory is exhausted

    MachineSlots(const MachineSlots&) = delete;
    MachineSlots& operator=(const MachineSlots&) = delete;

protected:
    MachineSlots() = default;
    ~MachineSlots() = default;
};

// The extension interface the machine registers with the host: forty-two slots,
// reaching the InputMixer through its own copy of the pointer.
class MachineSlotsEx {
public:
    virtual void* KORVAX_SLOT Slot0(std::int32_t a) noexcept;                                           // 0
    virtual bool KORVAX_SLOT Slot1(std::int32_t a) noexcept;                                            // 1
    virtual void KORVAX_SLOT Slot2(std::int32_t a, std::int32_t b) noexcept;                            // 2
    virtual std::intptr_t KORVAX_SLOT Slot3(std::int32_t a, std::int32_t b) noexcept;                   // 3
    virtual std::intptr_t KORVAX_SLOT Slot4(std::int32_t a) noexcept;                                   // 4
    virtual std::intptr_t KORVAX_SLOT Slot5(std::int32_t a, std::int32_t b) noexcept;                   // 5
    virtual std::intptr_t KORVAX_SLOT Slot6(std::int32_t a, std::int32_t b, std::int32_t c) noexcept;   // 6
    virtual void KORVAX_SLOT Slot7(std::int32_t a, std::int32_t b, std::int32_t c) noexcept;            // 7
    virtual std::intptr_t KORVAX_SLOT Slot8(std::int32_t a, std::int32_t b) noexcept;                   // 8
    virtual bool KORVAX_SLOT Slot9(std::int32_t a, std::int32_t b, std::int32_t c) noexcept;            // 9
#define KORVAX_EMPTY_EXTENSION_SLOT(n) virtual void KORVAX_SLOT Slot##n() noexcept;
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

    InputMixer* inputMixer = nullptr;   // the extension's own copy

    MachineSlotsEx() = default;
    MachineSlotsEx(const MachineSlotsEx&) = delete;
    MachineSlotsEx& operator=(const MachineSlotsEx&) = delete;
    ~MachineSlotsEx() = default;
};

// An abstract machine that delegates input mixing to the host's InputMixer.
class MixingMachine : public MachineSlots {
public:
    void* KORVAX_SLOT Destroy(std::int32_t flags) noexcept override;                                  // 0
    void KORVAX_SLOT Initialise(void* argument) noexcept override;                                     // 1
    bool KORVAX_SLOT Process(float* samples, std::int32_t count, std::int32_t mode) noexcept override;  // 3
    bool KORVAX_SLOT Slot4(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) noexcept override; // 4
    void KORVAX_SLOT Slot6(void* argument) noexcept override;                                          // 6

    virtual void* KORVAX_SLOT GetExtension() noexcept = 0;                                             // 19
    virtual void KORVAX_SLOT Slot20(std::int32_t a) noexcept = 0;                                      // 20
    virtual bool KORVAX_SLOT Slot21(float* samples, std::int32_t count, std::int32_t mode) noexcept = 0; // 21
    virtual bool KORVAX_SLOT ProcessStereo(float* samples, std::int32_t pairCount, std::int32_t mode) noexcept = 0; // 22
    virtual void KORVAX_SLOT InitialiseEngine(void* argument) noexcept = 0;                            // 23
    virtual void KORVAX_SLOT Slot24(void* argument) noexcept = 0;                                      // 24

    InputMixer* inputMixer = nullptr;   // null until Initialise
    MachineSlotsEx extension;

protected:
    MixingMachine() = default;
    ~MixingMachine() = default;
};

// The three-band dynamics machine.
class MultibandMachine : public MixingMachine {
public:
    MultibandMachine() noexcept;

    void* KORVAX_SLOT Destroy(std::int32_t flags) noexcept override;                                  // 0
    void KORVAX_SLOT ApplyParameters() noexcept override;                                              // 2
    const char* KORVAX_SLOT DescribeParameterValue(std::int32_t index, std::int32_t value) noexcept override; // 14
    void* KORVAX_SLOT GetExtension() noexcept override;                                                // 19
    void KORVAX_SLOT Slot20(std::int32_t a) noexcept override;                                         // 20
    bool KORVAX_SLOT Slot21(float* samples, std::int32_t count, std::int32_t mode) noexcept override;  // 21
    bool KORVAX_SLOT ProcessStereo(float* samples, std::int32_t pairCount, std::int32_t mode) noexcept override; // 22
    void KORVAX_SLOT InitialiseEngine(void* argument) noexcept override;                               // 23
    void KORVAX_SLOT Slot24(void* argument) noexcept override;                                         // 24

    EngineState engine;
    WorkingParameters working;
    ParameterBlock block;

protected:
    ~MultibandMachine() = default;
};

static_assert(alignof(MultibandMachine) <= MachineSlots::kObjectAlignment);

// Allocates and constructs one machine; null when memory is exhausted.
MultibandMachine* CreateMultibandMachine() noexcept;

} // namespace korvax
