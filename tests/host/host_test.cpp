// The reference host with broken libraries, and its own resource duties.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace {

// While armed, every allocation through operator new fails, as it would when
// memory runs out inside a host slot.
std::atomic<bool> gFailAllocations{false};

} // namespace

// GCC pairs malloc with free across the replaced operators only by name.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t bytes)
{
    if (gFailAllocations.load())
        throw std::bad_alloc();
    if (void* p = std::malloc(bytes == 0 ? 1 : bytes))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace korvax::host {
namespace {

std::string BrokenPath(const std::string& fault)
{
    return std::string(KORVAX_BROKEN_DIR) + "/broken-" + fault + ".so";
}

// What Library::Open and Machine::Create say about a broken library, or "" when
// both succeed.
std::string ErrorFor(const std::string& fault)
{
    std::string error;
    auto library = Library::Open(BrokenPath(fault), error);
    if (!library)
        return error;
    auto machine = Machine::Create(*library, 44100, error);
    return machine ? "" : error;
}

TEST(ReferenceHost, BrokenLibrariesGiveClearErrors)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"null-info", "GetInfo returned no description"},
        {"huge-count", "lists 1073741824 parameters"},
        {"negative-count", "lists -5 parameters"},
        {"null-table", "no parameter table"},
        {"null-entry", "parameter 9 has no descriptor"},
        {"bad-no-value", "parameter 3 has no-value byte 300"},
        {"null-object", "could not create a machine"},
        {"no-parameter-block", "without its slot table or parameter block"},
        {"no-create-machine", "GetInfo or CreateMachine is missing"},
    };
    for (const auto& [fault, expected] : cases) {
        const std::string error = ErrorFor(fault);
        EXPECT_NE(error.find(expected), std::string::npos) << fault << ": '" << error << "'";
    }
}

TEST(ReferenceHost, AMachineKeepsItsLibraryLoaded)
{
    const std::string path = Library::DefaultPath();
    std::string error;
    auto library = Library::Open(path, error);
    ASSERT_TRUE(library) << error;
    auto machine = Machine::Create(*library, 44100, error);
    ASSERT_TRUE(machine) << error;
    library.reset();   // the machine is now the library's only owner

    machine->Initialise();
    std::vector<float> samples(512, 1000.0f);
    EXPECT_TRUE(machine->Process(samples.data(), 256, kModeInputOutput));
    EXPECT_STREQ(machine->Describe(5, 4), "bypass");
    void* stillLoaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(stillLoaded, nullptr);
    if (stillLoaded != nullptr)
        dlclose(stillLoaded);

    machine.reset();
    void* afterwards = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(afterwards, nullptr) << "the last owner gone, the library is unloaded";
    if (afterwards != nullptr)
        dlclose(afterwards);
}

TEST(ReferenceHost, OwnsEveryMixerItHandsOut)
{
    std::string error;
    auto library = Library::Open(Library::DefaultPath(), error);
    ASSERT_TRUE(library) << error;
    auto machine = Machine::Create(*library, 44100, error);
    ASSERT_TRUE(machine) << error;

    // The machine destroys the mixer of a first Initialise before asking again.
    machine->Initialise();
    machine->Initialise();
    EXPECT_EQ(machine->LiveMixers(), 1);
    EXPECT_EQ(machine->MixersDestroyed(), 1);

    // A machine that asks again without destroying the first: the host keeps
    // both and frees them when it goes (the sanitizer build sees any leak).
    auto* callbacks = static_cast<HostCallbacks*>(static_cast<void**>(machine->Object())[5]);
    EXPECT_NE(CallSlot<InputMixer*>(callbacks, 16, std::int32_t{-1}, std::int32_t{-1}), nullptr);
    EXPECT_NE(CallSlot<InputMixer*>(callbacks, 16, std::int32_t{-1}, std::int32_t{-1}), nullptr);
    EXPECT_EQ(machine->LiveMixers(), 3);
}

TEST(ReferenceHost, NoAllocationFailureThrowsIntoTheMachine)
{
    std::string error;
    auto library = Library::Open(Library::DefaultPath(), error);
    ASSERT_TRUE(library) << error;
    auto machine = Machine::Create(*library, 44100, error);
    ASSERT_TRUE(machine) << error;

    // Initialise reaches host slots 16, 29, 8 and 10 from the machine's frames,
    // which must not throw; the host records what it can and hands out the
    // mixer it made in advance.
    gFailAllocations = true;
    machine->Initialise();
    gFailAllocations = false;
    EXPECT_GT(machine->EventsLost(), 0);
    EXPECT_EQ(machine->LiveMixers(), 1);
    EXPECT_EQ(machine->MixerBackPointer(), machine->Object());
    std::vector<float> samples(512, 1000.0f);
    EXPECT_TRUE(machine->Process(samples.data(), 256, kModeInputOutput));
}

} // namespace
} // namespace korvax::host

namespace korvax::host {
namespace {

// The Linux library's gain meters through the host: switching them on changes
// no output bit; each take covers the pairs since the last and clears them;
// re-initialising keeps them on and clears them.
TEST(ReferenceHost, GainMetersChangeNothingAndCoverEachStretchOnce)
{
    std::string error;
    auto library = Library::Open(Library::DefaultPath(), error);
    ASSERT_TRUE(library) << error;
    ASSERT_TRUE(library->HasMeters());
    auto metered = Machine::Create(*library, 48000, error);
    auto plain = Machine::Create(*library, 48000, error);
    ASSERT_TRUE(metered && plain) << error;
    metered->Initialise();
    plain->Initialise();
    ASSERT_TRUE(metered->SwitchMeters(true));

    // A loud low tone in the left channel only, after some silence.
    float lowest[8];
    std::vector<float> a(2 * 512), b(2 * 512);
    std::int64_t covered = 0;
    for (int call = 0; call < 200; ++call) {
        for (int i = 0; i < 512; ++i) {
            const double t = double(call * 512 + i) / 48000.0;
            a[2 * i] = call < 20 ? 0.0f : static_cast<float>(30000.0 * std::sin(2 * 3.141592653589793 * 80.0 * t));
            a[2 * i + 1] = 0.0f;
        }
        b = a;
        metered->Process(a.data(), 512, kModeInputOutput);
        plain->Process(b.data(), 512, kModeInputOutput);
        ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << "call " << call;
        if (call % 10 == 9) {
            const std::int64_t pairs = metered->TakeMeters(lowest);
            EXPECT_EQ(pairs, 10 * 512);
            covered += pairs;
        }
    }
    EXPECT_EQ(covered, 200 * 512);
    // The last stretch: the tone's band and the limiter work on the left only.
    EXPECT_LT(lowest[0], 0.9f);
    EXPECT_EQ(lowest[1], 1.0f);
    EXPECT_EQ(lowest[2], 1.0f);
    EXPECT_EQ(metered->TakeMeters(lowest), 0);   // taken: cleared
    for (const float g : lowest)
        EXPECT_EQ(g, 1.0f);

    metered->Initialise();   // re-initialised: still on, cleared
    metered->Process(a.data(), 512, kModeInputOutput);
    EXPECT_EQ(metered->TakeMeters(lowest), 512);
    EXPECT_LT(lowest[0], 0.11f) << "gains start at 0.1 after initialisation";
    ASSERT_TRUE(metered->SwitchMeters(false));
    metered->Process(a.data(), 512, kModeInputOutput);
    EXPECT_EQ(metered->TakeMeters(lowest), 0);
}

} // namespace
} // namespace korvax::host
