#pragma once
// The host's objects as the machine sees them: only the slots and fields the
// machine calls or reads. The host owns these objects; the machine never
// creates or frees them itself.

#include <cstdint>

// Member functions that form slot tables use the host compiler's convention for
// member functions. On 32-bit Windows that is "this" in ECX with the callee
// popping its arguments; say so explicitly there. Elsewhere it is the default,
// except in a 32-bit program built with KORVAX_SLOTS_THISCALL, which drives a
// Windows machine library (the PE loader in the tests).
#if defined(__i386__) && (defined(_WIN32) || defined(KORVAX_SLOTS_THISCALL))
#define KORVAX_SLOT __attribute__((thiscall))
#else
#define KORVAX_SLOT
#endif

namespace korvax {

// A host record of 32-bit fields; the machine reads only the third.
struct MasterInfo {
    std::int32_t field0;
    std::int32_t field1;
    std::int32_t sampleRate;   // Hz, signed
};

// One per machine, handed out by HostCallbacks slot 16. It mixes the machine's
// inputs and calls the machine's ProcessStereo and InitialiseEngine slots.
class InputMixer {
public:
    virtual void* KORVAX_SLOT Destroy(std::int32_t flags) = 0;                                      // 0
    virtual std::intptr_t KORVAX_SLOT Slot1(std::int32_t a, std::int32_t b) = 0;                    // 1
    virtual std::intptr_t KORVAX_SLOT Slot2(std::int32_t a) = 0;                                    // 2
    virtual std::intptr_t KORVAX_SLOT Slot3(std::int32_t a, std::int32_t b) = 0;                    // 3
    virtual std::intptr_t KORVAX_SLOT Slot4(std::int32_t a, std::int32_t b) = 0;                    // 4
    virtual std::intptr_t KORVAX_SLOT Slot5(std::int32_t a, std::int32_t b, std::int32_t c) = 0;    // 5
    virtual bool KORVAX_SLOT Process(float* samples, std::int32_t count, std::int32_t mode) = 0;    // 6
    virtual bool KORVAX_SLOT Slot7(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) = 0; // 7
    virtual void KORVAX_SLOT Initialise(void* argument) = 0;                                        // 8
    virtual void KORVAX_SLOT Slot9(void* argument) = 0;                                             // 9
    virtual void KORVAX_SLOT Slot10(std::int32_t value) = 0;                                        // 10

    void* machine;   // first data field: the machine's address, written by Initialise

protected:
    InputMixer() = default;
    ~InputMixer() = default;
};

// The host's service object. Slots 0 to 15 and 17 to 28 are never called by the
// machine; they are declared only to place 16 and 29.
class HostCallbacks {
public:
#define KORVAX_UNUSED_HOST_SLOT(n) virtual void KORVAX_SLOT Unused##n() = 0;
    KORVAX_UNUSED_HOST_SLOT(0) KORVAX_UNUSED_HOST_SLOT(1) KORVAX_UNUSED_HOST_SLOT(2) KORVAX_UNUSED_HOST_SLOT(3)
    KORVAX_UNUSED_HOST_SLOT(4) KORVAX_UNUSED_HOST_SLOT(5) KORVAX_UNUSED_HOST_SLOT(6) KORVAX_UNUSED_HOST_SLOT(7)
    KORVAX_UNUSED_HOST_SLOT(8) KORVAX_UNUSED_HOST_SLOT(9) KORVAX_UNUSED_HOST_SLOT(10) KORVAX_UNUSED_HOST_SLOT(11)
    KORVAX_UNUSED_HOST_SLOT(12) KORVAX_UNUSED_HOST_SLOT(13) KORVAX_UNUSED_HOST_SLOT(14) KORVAX_UNUSED_HOST_SLOT(15)
    virtual InputMixer* KORVAX_SLOT GetInputMixer(std::int32_t a, std::int32_t b) = 0;              // 16
    KORVAX_UNUSED_HOST_SLOT(17) KORVAX_UNUSED_HOST_SLOT(18) KORVAX_UNUSED_HOST_SLOT(19) KORVAX_UNUSED_HOST_SLOT(20)
    KORVAX_UNUSED_HOST_SLOT(21) KORVAX_UNUSED_HOST_SLOT(22) KORVAX_UNUSED_HOST_SLOT(23) KORVAX_UNUSED_HOST_SLOT(24)
    KORVAX_UNUSED_HOST_SLOT(25) KORVAX_UNUSED_HOST_SLOT(26) KORVAX_UNUSED_HOST_SLOT(27) KORVAX_UNUSED_HOST_SLOT(28)
#undef KORVAX_UNUSED_HOST_SLOT
    virtual void KORVAX_SLOT RegisterExtension(void* extension) = 0;                                 // 29

protected:
    HostCallbacks() = default;
    ~HostCallbacks() = default;
};

} // namespace korvax
