#include "host/reference_host.h"

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace korvax::host {
namespace {

void* OpenLibrary(const std::string& path, std::string& error)
{
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr)
        error = "cannot load machine library '" + path + "' (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        error = "cannot load machine library: " + std::string(reason ? reason : path);
    }
    return handle;
#endif
}

void* FindSymbol(void* handle, const char* name)
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

void CloseLibrary(void* handle)
{
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

std::string Call(const char* name, std::initializer_list<long long> args)
{
    std::string text = name;
    if (args.size() == 0)
        return text;
    text += '(';
    bool first = true;
    for (long long a : args) {
        if (!first)
            text += ',';
        text += std::to_string(a);
        first = false;
    }
    return text + ')';
}

} // namespace

// ---- Library --------------------------------------------------------------------

std::shared_ptr<Library> Library::Open(const std::string& path, std::string& error)
{
    void* handle = OpenLibrary(path, error);
    if (handle == nullptr)
        return nullptr;
    std::shared_ptr<Library> library(new Library());
    library->handle_ = handle;
    library->path_ = path;
    library->getInfo_ = reinterpret_cast<const MachineDescription* (*)()>(FindSymbol(handle, "GetInfo"));
    library->createMachine_ = reinterpret_cast<void* (*)()>(FindSymbol(handle, "CreateMachine"));
    library->switchMeters_ =
        reinterpret_cast<void (*)(void*, std::int32_t)>(FindSymbol(handle, "KorvaxSwitchMeters"));
    library->takeMeters_ = reinterpret_cast<std::int64_t (*)(void*, float*)>(FindSymbol(handle, "KorvaxTakeMeters"));
    if (library->getInfo_ == nullptr || library->createMachine_ == nullptr) {
        error = "'" + path + "' is not a machine library: GetInfo or CreateMachine is missing";
        return nullptr;
    }
    return library;
}

std::shared_ptr<Library> Library::FromEntryPoints(const MachineDescription* (*getInfo)(),
                                                  void* (*createMachine)(), const std::string& path)
{
    std::shared_ptr<Library> library(new Library());
    library->getInfo_ = getInfo;
    library->createMachine_ = createMachine;
    library->path_ = path;
    return library;
}

Library::~Library()
{
    if (handle_ != nullptr)
        CloseLibrary(handle_);
}

std::string Library::DefaultPath()
{
    if (const char* overridden = std::getenv("KORVAX_MACHINE_LIBRARY"); overridden != nullptr && *overridden)
        return overridden;
#if defined(__linux__) && defined(KORVAX_INSTALLED_LIBRARY_FROM_BIN)
    // An installed program finds the library installed with it, by its own
    // location: PREFIX/bin/korvax loads PREFIX/lib/korvax/libkorvax2.so.
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed =
            (self.parent_path() / KORVAX_INSTALLED_LIBRARY_FROM_BIN).lexically_normal();
        if (std::filesystem::is_regular_file(installed, error))
            return installed.string();
    }
#endif
#if defined(KORVAX_MACHINE_LIBRARY_PATH)
    return KORVAX_MACHINE_LIBRARY_PATH;
#else
    return {};
#endif
}

// ---- Host objects -----------------------------------------------------------------

// One InputMixer per machine. Slot 6 sums the extra inputs into the buffer (the
// buffer's own samples are the first input) and calls the machine's slot 22;
// slot 8 calls the machine's slot 23. The other slots answer neutrally.
class Mixer final : public InputMixer {
public:
    explicit Mixer(Machine& host) : host_(host) { machine = nullptr; }

    void* KORVAX_SLOT Destroy(std::int32_t flags) override
    {
        void* const self = this;
        host_.Note("mixer.0", {flags});
        ++host_.mixersDestroyed_;
        if (flags & 1) {
            host_.ForgetMixer(this);
            delete this;
        }
        return self;
    }
    std::intptr_t KORVAX_SLOT Slot1(std::int32_t a, std::int32_t b) override { return Record("mixer.1", {a, b}); }
    std::intptr_t KORVAX_SLOT Slot2(std::int32_t a) override { return Record("mixer.2", {a}); }
    std::intptr_t KORVAX_SLOT Slot3(std::int32_t a, std::int32_t b) override { return Record("mixer.3", {a, b}); }
    std::intptr_t KORVAX_SLOT Slot4(std::int32_t a, std::int32_t b) override { return Record("mixer.4", {a, b}); }
    std::intptr_t KORVAX_SLOT Slot5(std::int32_t a, std::int32_t b, std::int32_t c) override
    {
        return Record("mixer.5", {a, b, c});
    }

    // Processing is on the audio path: no event is recorded and nothing allocated.
    bool KORVAX_SLOT Process(float* samples, std::int32_t count, std::int32_t mode) override
    {
        if ((mode & kModeInput) && count > 0) {
            const std::size_t floats = 2 * static_cast<std::size_t>(count);
            for (const float* source : host_.extraInputs_)
                for (std::size_t i = 0; i < floats; ++i)
                    samples[i] += source[i];
        }
        return CallSlot<bool>(machine, kSlotProcessStereo, samples, count, mode);
    }
    bool KORVAX_SLOT Slot7(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) override
    {
        return Record("mixer.7", {a, b, c, d}) != 0;
    }
    void KORVAX_SLOT Initialise(void* argument) override
    {
        host_.Note("mixer.8");
        CallSlot<void>(machine, kSlotInitialiseEngine, argument);
    }
    void KORVAX_SLOT Slot9(void*) override { host_.Note("mixer.9"); }
    void KORVAX_SLOT Slot10(std::int32_t value) override { host_.Note("mixer.10", {value}); }

private:
    // Forwarded calls answer with their slot number, so a test can tell where they went.
    std::intptr_t Record(const char* name, std::initializer_list<long long> args) noexcept
    {
        host_.Note(name, args);
        return std::atoi(name + 6);
    }

    Machine& host_;
};

class Machine::Callbacks final : public HostCallbacks {
public:
    explicit Callbacks(Machine& host) : host_(host) {}

#define KORVAX_UNEXPECTED(n) \
    void KORVAX_SLOT Unused##n() override { host_.Note("callbacks." #n " (unexpected)"); }
    KORVAX_UNEXPECTED(0) KORVAX_UNEXPECTED(1) KORVAX_UNEXPECTED(2) KORVAX_UNEXPECTED(3) KORVAX_UNEXPECTED(4)
    KORVAX_UNEXPECTED(5) KORVAX_UNEXPECTED(6) KORVAX_UNEXPECTED(7) KORVAX_UNEXPECTED(8) KORVAX_UNEXPECTED(9)
    KORVAX_UNEXPECTED(10) KORVAX_UNEXPECTED(11) KORVAX_UNEXPECTED(12) KORVAX_UNEXPECTED(13) KORVAX_UNEXPECTED(14)
    KORVAX_UNEXPECTED(15) KORVAX_UNEXPECTED(17) KORVAX_UNEXPECTED(18) KORVAX_UNEXPECTED(19) KORVAX_UNEXPECTED(20)
    KORVAX_UNEXPECTED(21) KORVAX_UNEXPECTED(22) KORVAX_UNEXPECTED(23) KORVAX_UNEXPECTED(24) KORVAX_UNEXPECTED(25)
    KORVAX_UNEXPECTED(26) KORVAX_UNEXPECTED(27) KORVAX_UNEXPECTED(28)
#undef KORVAX_UNEXPECTED

    InputMixer* KORVAX_SLOT GetInputMixer(std::int32_t a, std::int32_t b) override
    {
        host_.Note("callbacks.16", {a, b});
        return host_.HandOutMixer();
    }

    void KORVAX_SLOT RegisterExtension(void* extension) override
    {
        host_.Note("callbacks.29");
        host_.registeredExtension_ = extension;
    }

private:
    Machine& host_;
};

// ---- Machine ----------------------------------------------------------------------

std::string Machine::DescriptionError(const MachineDescription* info)
{
    if (info == nullptr)
        return "GetInfo returned no description";
    if (info->ParameterCount < 0 || info->ParameterCount > kMaxParameters)
        return "the description lists " + std::to_string(info->ParameterCount) + " parameters (at most " +
               std::to_string(kMaxParameters) + " make sense)";
    if (info->ParameterCount > 0 && info->Parameters == nullptr)
        return "the description has no parameter table";
    for (std::int32_t i = 0; i < info->ParameterCount; ++i) {
        const ParameterDescriptor* p = info->Parameters[i];
        if (p == nullptr)
            return "parameter " + std::to_string(i) + " has no descriptor";
        if (p->NoValue < 0 || p->NoValue > 255)
            return "parameter " + std::to_string(i) + " has no-value byte " + std::to_string(p->NoValue);
    }
    return {};
}

std::unique_ptr<Machine> Machine::Create(const Library& library, std::int32_t sampleRate, std::string& error)
{
    const MachineDescription* info = library.Info();
    if (const std::string problem = DescriptionError(info); !problem.empty()) {
        error = "'" + library.Path() + "' is not a usable machine library: " + problem;
        return nullptr;
    }
    void* object = library.CreateMachineObject();
    if (object == nullptr) {
        error = "the machine library could not create a machine (out of memory)";
        return nullptr;
    }
    // The host writes parameter bytes and the attribute through the object's
    // leading fields 1 and 3; a machine without them cannot be driven.
    void* const* fields = static_cast<void* const*>(object);
    if (fields[0] == nullptr || (info->ParameterCount > 0 && fields[1] == nullptr) || fields[3] == nullptr) {
        error = "'" + library.Path() + "' created a machine without its slot table or parameter block";
        if (fields[0] != nullptr)
            CallSlot<void*>(object, kSlotDestroy, std::int32_t{1});
        return nullptr;
    }
    auto machine = std::make_unique<Machine>(object, info, sampleRate);
    machine->library_ = library.shared_from_this();
    return machine;
}

Machine::Machine(void* object, const MachineDescription* info, std::int32_t sampleRate)
    : object_(object), info_(info), masterInfo_{0, 0, sampleRate}, callbacks_(std::make_unique<Callbacks>(*this)),
      spareMixer_(std::make_unique<Mixer>(*this))
{
    mixers_.reserve(4);
    events_.reserve(64);
    WriteLeadingFields();
    for (int i = 0; i < info_->ParameterCount; ++i)
        SetParameterByte(i, static_cast<std::uint8_t>(info_->Parameters[i]->NoValue));
}

Machine::~Machine()
{
    if (object_ != nullptr)
        Destroy(1);
    for (Mixer* mixer : mixers_)   // mixers the machine never destroyed
        delete mixer;
}

void Machine::Note(const char* name, std::initializer_list<long long> args) noexcept
{
    try {
        events_.push_back(Call(name, args));
    } catch (...) {
        ++eventsLost_;
    }
}

InputMixer* Machine::HandOutMixer() noexcept
{
    // The spare and a slot in mixers_ exist before the machine asks; the next
    // spare is made here, and its failure only shows at a later request.
    if (!spareMixer_ || mixers_.size() == mixers_.capacity())
        return nullptr;
    Mixer* mixer = spareMixer_.release();
    mixers_.push_back(mixer);
    mixer_ = mixer;
    try {
        mixers_.reserve(mixers_.size() + 1);
        spareMixer_.reset(new Mixer(*this));
    } catch (...) {
        ++eventsLost_;
    }
    return mixer;
}

void Machine::ForgetMixer(Mixer* mixer) noexcept
{
    mixers_.erase(std::remove(mixers_.begin(), mixers_.end(), mixer), mixers_.end());
    if (mixer_ == mixer)
        mixer_ = nullptr;
}

// Leading fields, counted from the slot-table pointer at 0: 1 parameter bytes,
// 2 the host's own field, 3 attribute bytes, 4 MasterInfo, 5 HostCallbacks.
void Machine::WriteLeadingFields()
{
    void** fields = static_cast<void**>(object_);
    fields[4] = &masterInfo_;
    fields[5] = static_cast<HostCallbacks*>(callbacks_.get());
}

void Machine::Initialise(void* argument)
{
    CallSlot<void>(object_, kSlotInitialise, argument);
}

void Machine::SetParameterByte(int index, std::uint8_t value)
{
    auto* bytes = static_cast<std::uint8_t*>(static_cast<void**>(object_)[1]);
    bytes[index] = value;
}

void Machine::SetAttribute(std::int32_t value)
{
    auto* bytes = static_cast<std::uint8_t*>(static_cast<void**>(object_)[3]);
    std::memcpy(bytes, &value, sizeof value);   // the field is not aligned
}

void Machine::ApplyParameters()
{
    CallSlot<void>(object_, kSlotApplyParameters);
    for (int i = 0; i < info_->ParameterCount; ++i)
        SetParameterByte(i, static_cast<std::uint8_t>(info_->Parameters[i]->NoValue));
}

void Machine::SetParameters(const std::vector<std::pair<int, int>>& indexValues)
{
    for (const auto& [index, value] : indexValues)
        SetParameterByte(index, static_cast<std::uint8_t>(value));
    ApplyParameters();
}

bool Machine::Process(float* samples, std::int32_t count, std::int32_t mode)
{
    return CallSlot<bool>(object_, kSlotProcess, samples, count, mode);
}

bool Machine::ProcessStereo(float* samples, std::int32_t pairCount, std::int32_t mode)
{
    return CallSlot<bool>(object_, kSlotProcessStereo, samples, pairCount, mode);
}

const char* Machine::Describe(std::int32_t index, std::int32_t value)
{
    return CallSlot<const char*>(object_, kSlotDescribeParameterValue, index, value);
}

void* Machine::Destroy(std::int32_t flags)
{
    void* result = CallSlot<void*>(object_, kSlotDestroy, flags);
    if (flags & 1)
        object_ = nullptr;
    return result;
}

bool Machine::SwitchMeters(bool on)
{
    if (!library_ || !library_->HasMeters() || object_ == nullptr)
        return false;
    library_->switchMeters_(object_, on ? 1 : 0);
    return true;
}

std::int64_t Machine::TakeMeters(float (&lowest)[8])
{
    if (!library_ || !library_->HasMeters() || object_ == nullptr)
        return -1;
    return library_->takeMeters_(object_, lowest);
}

void Machine::SetExtraInputs(std::vector<const float*> sources)
{
    extraInputs_ = std::move(sources);
}

void* Machine::MixerBackPointer() const
{
    return mixer_ != nullptr ? mixer_->machine : nullptr;
}

InputMixer* Machine::CurrentMixer() const
{
    return mixer_;
}

} // namespace korvax::host
