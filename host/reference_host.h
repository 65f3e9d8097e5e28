#pragma once
// Our reference host: the host-side objects that load a machine library and
// drive a machine exactly as a host application does. It resolves the two
// exports, writes the machine's leading fields, and calls every machine slot by
// its index in the slot table, never through the machine's own C++ classes, so
// whatever uses it proves the slot numbers of the built library.
//
// Host objects: a HostCallbacks (slot 16 hands out a new InputMixer, slot 29
// records the extension interface), one InputMixer per machine (slot 8
// initialises and calls the machine's InitialiseEngine, slot 6 mixes the
// machine's inputs into the buffer and calls ProcessStereo) and a MasterInfo
// whose third field is the sample rate.

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "plugin/description.h"
#include "plugin/host_services.h"

namespace korvax::host {

// Slot numbers of the machine's primary table.
enum MachineSlot : int {
    kSlotDestroy = 0,
    kSlotInitialise = 1,
    kSlotApplyParameters = 2,
    kSlotProcess = 3,
    kSlotDescribeParameterValue = 14,
    kSlotGetExtension = 19,
    kSlotProcessStereo = 22,
    kSlotInitialiseEngine = 23,
};

inline constexpr int kPrimarySlotCount = 25;
inline constexpr int kExtensionSlotCount = 42;
inline constexpr std::int32_t kModeInput = 1;
inline constexpr std::int32_t kModeOutput = 2;
inline constexpr std::int32_t kModeInputOutput = 3;

#if defined(KORVAX_HOST_CHECKED_CALLS)
// A host built with KORVAX_HOST_CHECKED_CALLS makes every slot call through
// CheckedSlotCall, which it defines itself (the PE loader in the tests, which
// checks each call into a 32-bit DLL): `words` holds the arguments after
// `object`, one 32-bit word each, and the result is EDX:EAX as the slot left them.
std::uint64_t CheckedSlotCall(void* object, int slot, const std::uint32_t* words, int count);

template <class T>
std::uint32_t SlotWord(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
    else
        return static_cast<std::uint32_t>(value);
}

template <class Result>
Result SlotResult(std::uint64_t registers)
{
    const auto eax = static_cast<std::uint32_t>(registers);
    if constexpr (std::is_void_v<Result>)
        return;
    else if constexpr (std::is_same_v<Result, bool>)
        return (eax & 0xFFu) != 0;   // a bool result is AL alone
    else if constexpr (std::is_pointer_v<Result>)
        return reinterpret_cast<Result>(static_cast<std::uintptr_t>(eax));
    else
        return static_cast<Result>(eax);
}
#endif

// Calls slot `slot` of the table whose pointer leads `object`, with `object` as
// the implicit first argument, as the host's compiler calls a member function.
template <class Result, class... Args>
Result CallSlot(void* object, int slot, Args... args)
{
#if defined(KORVAX_HOST_CHECKED_CALLS)
    static_assert(sizeof(void*) == 4, "checked calls go into 32-bit libraries");
    const std::uint32_t words[sizeof...(Args) + 1] = {SlotWord(args)..., 0};
    return SlotResult<Result>(CheckedSlotCall(object, slot, words, int(sizeof...(Args))));
#else
    using Function = Result(KORVAX_SLOT*)(void*, Args...);
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Function>(table[slot])(object, args...);
#endif
}

// A loaded machine library, shared by the machines created from it: it stays
// loaded until the last of them and the last other owner are gone.
class Library : public std::enable_shared_from_this<Library> {
public:
    // Null with `error` set when the file cannot be loaded or lacks an export.
    static std::shared_ptr<Library> Open(const std::string& path, std::string& error);
    // A library whose entry points were found by other means (the PE loader in
    // the tests resolves a Windows DLL's); this object neither loads nor unloads it.
    static std::shared_ptr<Library> FromEntryPoints(const MachineDescription* (*getInfo)(), void* (*createMachine)(),
                                                    const std::string& path);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const MachineDescription* Info() const { return getInfo_(); }
    void* CreateMachineObject() const { return createMachine_(); }
    // Whether the library has the gain meters of the Linux build
    // (KorvaxSwitchMeters, KorvaxTakeMeters); the host's DLL has none.
    bool HasMeters() const { return switchMeters_ != nullptr && takeMeters_ != nullptr; }
    const std::string& Path() const { return path_; }

    // The path of the machine library this project builds, as configured.
    static std::string DefaultPath();

private:
    Library() = default;
    void* handle_ = nullptr;
    const MachineDescription* (*getInfo_)() = nullptr;
    void* (*createMachine_)() = nullptr;
    void (*switchMeters_)(void* machine, std::int32_t on) = nullptr;
    std::int64_t (*takeMeters_)(void* machine, float* lowest) = nullptr;
    friend class Machine;
    std::string path_;
};

class Mixer;

// The host side of one machine: its MasterInfo, HostCallbacks and InputMixer,
// and the parameter bytes the host writes.
class Machine {
public:
    // Creates a machine through the library's CreateMachine and writes its
    // leading fields; null with `error` set when the library describes no
    // usable machine (see DescriptionError) or creation fails. The machine
    // keeps the library loaded.
    static std::unique_ptr<Machine> Create(const Library& library, std::int32_t sampleRate, std::string& error);

    // Why a host cannot use this description, or empty when it can: it must
    // exist, list at most kMaxParameters parameters through a table without
    // null entries, and give each a no-value byte 0..255.
    static std::string DescriptionError(const MachineDescription* info);
    static constexpr std::int32_t kMaxParameters = 256;

    // Hosts a machine object created elsewhere (for instance a derived machine in
    // a test) that follows the same layout, described by `info`, which must pass
    // DescriptionError.
    Machine(void* object, const MachineDescription* info, std::int32_t sampleRate);

    // Destroys the machine (slot 0 with flag 1) unless that has happened already.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Slot 1, with the pointer the host passes on to the mixer.
    void Initialise(void* argument = nullptr);

    // Writes one parameter byte into the machine's block (no check: any byte).
    void SetParameterByte(int index, std::uint8_t value);
    // Writes the 32-bit attribute value.
    void SetAttribute(std::int32_t value);
    // Slot 2; afterwards every byte is set back to the parameter's no-value
    // byte, so the next intake changes only what is written again.
    void ApplyParameters();
    // Writes the given bytes (the rest as no-value) and applies them.
    void SetParameters(const std::vector<std::pair<int, int>>& indexValues);

    // Slot 3 (through the mixer): `count` counts sample pairs; `samples` holds
    // 2 * count interleaved floats, processed in place.
    bool Process(float* samples, std::int32_t count, std::int32_t mode);
    // Slot 22 called directly, bypassing the mixer.
    bool ProcessStereo(float* samples, std::int32_t pairCount, std::int32_t mode);
    // Slot 14.
    const char* Describe(std::int32_t index, std::int32_t value);
    // Slot 0; after flag bit 0 the object is gone and this host forgets it.
    void* Destroy(std::int32_t flags);

    // The gain meters, where the library has them (Library::HasMeters): on or
    // off (false when it has none), and the meters since they were last taken,
    // per gain state (low L, low R, mid L, mid R, high L, high R, limiter L,
    // limiter R) the smallest gain it held, 1.0 for none. TakeMeters returns the
    // pairs covered, or -1 without meters. Neither changes what the machine
    // computes; call them between processing calls.
    bool SwitchMeters(bool on);
    std::int64_t TakeMeters(float (&lowest)[8]);

    // Further interleaved stereo sources the mixer sums into the buffer before
    // processing (each must hold 2 * count floats at each Process call).
    void SetExtraInputs(std::vector<const float*> sources);

    void SetSampleRate(std::int32_t sampleRate) { masterInfo_.sampleRate = sampleRate; }
    std::int32_t SampleRate() const { return masterInfo_.sampleRate; }
    const MachineDescription* Info() const { return info_; }
    void* Object() const { return object_; }
    void* RegisteredExtension() const { return registeredExtension_; }
    // The mixer's first data field, as the machine left it (null before Initialise).
    void* MixerBackPointer() const;
    InputMixer* CurrentMixer() const;
    int MixersDestroyed() const { return mixersDestroyed_; }
    // Mixers of this host that exist now (handed out and not yet destroyed by
    // the machine); the host destroys them when it is destroyed.
    int LiveMixers() const { return static_cast<int>(mixers_.size()); }

    // Host-side events in order, e.g. "callbacks.16(-1,-1)", "mixer.8", "mixer.10(1)".
    // Recording never throws into the machine: an event that cannot be stored
    // for lack of memory is counted instead.
    std::vector<std::string>& Events() { return events_; }
    int EventsLost() const { return eventsLost_; }

private:
    friend class Mixer;
    class Callbacks;
    void WriteLeadingFields();
    // Records an event; called from host slots, which the machine calls from
    // frames that must not throw.
    // Arguments, when given, follow in parentheses.
    void Note(const char* name, std::initializer_list<long long> args = {}) noexcept;
    // Hands out a mixer from the spare allocated in advance, so that the
    // machine's Initialise never meets an allocation failure of the host's.
    InputMixer* HandOutMixer() noexcept;
    void ForgetMixer(Mixer* mixer) noexcept;

    std::shared_ptr<const Library> library_;   // null for objects created elsewhere
    void* object_ = nullptr;
    const MachineDescription* info_ = nullptr;
    MasterInfo masterInfo_{0, 0, 0};
    std::unique_ptr<Callbacks> callbacks_;
    Mixer* mixer_ = nullptr;                  // the newest mixer handed out
    std::vector<Mixer*> mixers_;              // every live mixer; capacity reserved ahead
    std::unique_ptr<Mixer> spareMixer_;
    void* registeredExtension_ = nullptr;
    int mixersDestroyed_ = 0;
    int eventsLost_ = 0;
    std::vector<const float*> extraInputs_;
    std::vector<std::string> events_;
};

} // namespace korvax::host
