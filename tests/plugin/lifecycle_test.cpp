// Creation, initialisation, the slot tables and destruction, driven by slot index.

#include <new>

#include "host_fixture.h"
#include "plugin/description.h"
#include "plugin/machine.h"
#include "support/alloc_hooks.h"

namespace korvax::test {
namespace {

static_assert(sizeof(MultibandMachine) < (std::size_t{1} << 20), "the machine object must stay under 1 MiB");

using host::CallSlot;
using Events = std::vector<std::string>;

TEST(Lifecycle, EachCreateMachineGivesANewMachine)
{
    auto first = NewMachine(44100, false);
    auto second = NewMachine(44100, false);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->Object(), second->Object());
}

TEST(Lifecycle, LeadingFieldsComeFirstInOrderWithoutGaps)
{
    MultibandMachine* m = CreateMultibandMachine();
    ASSERT_NE(m, nullptr);
    const auto offset = [m](const void* field) {
        return static_cast<const char*>(field) - reinterpret_cast<const char*>(m);
    };
    const std::ptrdiff_t p = sizeof(void*);
    EXPECT_EQ(offset(&m->parameterBytes), 1 * p);
    EXPECT_EQ(offset(&m->hostField), 2 * p);
    EXPECT_EQ(offset(&m->attributeBytes), 3 * p);
    EXPECT_EQ(offset(&m->masterInfo), 4 * p);
    EXPECT_EQ(offset(&m->hostCallbacks), 5 * p);
    EXPECT_EQ(offset(&m->inputMixer), 6 * p);
    EXPECT_EQ(offset(&m->extension), 7 * p);
    // The two block pointers point into the object's own 21-byte block.
    EXPECT_EQ(m->parameterBytes, m->block.values);
    EXPECT_EQ(m->attributeBytes, m->parameterBytes + 17);
    EXPECT_EQ(m->inputMixer, nullptr);
    m->Destroy(1);
}

TEST(Lifecycle, InitialiseCallsTheHostInItsFixedOrder)
{
    auto machine = NewMachine(44100, false);
    int argument = 0;
    machine->Initialise(&argument);
    const Events expected = {"callbacks.16(-1,-1)", "callbacks.29", "mixer.8", "mixer.10(1)"};
    EXPECT_EQ(machine->Events(), expected);
    EXPECT_EQ(machine->MixerBackPointer(), machine->Object());
    void* extension = CallSlot<void*>(machine->Object(), host::kSlotGetExtension);
    EXPECT_EQ(machine->RegisteredExtension(), extension);
    EXPECT_NE(extension, nullptr);
    EXPECT_NE(extension, machine->Object());
}

TEST(Lifecycle, DestroyOfAnUninitialisedMachineReleasesOnlyTheObject)
{
    auto machine = NewMachine(44100, false);
    void* object = machine->Object();
    bool freed = false;
    WatchFree(object, [&] { freed = true; });
    EXPECT_EQ(machine->Destroy(1), object);
    EXPECT_TRUE(freed);
    EXPECT_TRUE(machine->Events().empty());
    EXPECT_EQ(machine->MixersDestroyed(), 0);
}

TEST(Lifecycle, DestroyTearsDownTheMixerOnceBeforeFreeing)
{
    auto machine = NewMachine();
    void* object = machine->Object();
    machine->Events().clear();
    WatchFree(object, [&] { machine->Events().push_back("freed"); });
    EXPECT_EQ(machine->Destroy(1), object);
    const Events expected = {"mixer.0(1)", "freed"};
    EXPECT_EQ(machine->Events(), expected);
    EXPECT_EQ(machine->MixersDestroyed(), 1);
}

TEST(Lifecycle, DestroyWithoutTheFreeFlagKeepsTheObjectAndNeverRepeatsTheTeardown)
{
    auto machine = NewMachine();
    void* object = machine->Object();
    bool freed = false;
    WatchFree(object, [&] { freed = true; });
    EXPECT_EQ(machine->Destroy(0), object);
    EXPECT_FALSE(freed);
    EXPECT_EQ(machine->MixersDestroyed(), 1);
    EXPECT_EQ(machine->Destroy(1), object);
    EXPECT_TRUE(freed);
    EXPECT_EQ(machine->MixersDestroyed(), 1);
    ClearFreeWatch();
}

TEST(Lifecycle, NeutralPrimarySlotsAnswerAsTabled)
{
    auto machine = NewMachine();
    void* m = machine->Object();
    machine->Events().clear();
    EXPECT_FALSE(CallSlot<bool>(m, 11, 7));
    EXPECT_EQ(CallSlot<void*>(m, 15), nullptr);
    EXPECT_FALSE(CallSlot<bool>(m, 16, 1, 2, 3));
    EXPECT_EQ(CallSlot<std::int32_t>(m, 18, 9), -1);
    float buffer[4] = {1, 2, 3, 4};
    EXPECT_FALSE(CallSlot<bool>(m, 21, buffer, 2, 3));
    EXPECT_FALSE(CallSlot<bool>(m, 21, static_cast<float*>(nullptr), -5, 0));
    EXPECT_EQ(buffer[0], 1.0f);
    CallSlot<void>(m, 5);
    CallSlot<void>(m, 7);
    CallSlot<void>(m, 8, 1);
    CallSlot<void>(m, 9, 1);
    CallSlot<void>(m, 10, 1);
    CallSlot<void>(m, 12, 1, 2, 3);
    CallSlot<void>(m, 13, 1);
    CallSlot<void>(m, 17);
    CallSlot<void>(m, 20, 1);
    CallSlot<void>(m, 24, static_cast<void*>(nullptr));
    EXPECT_TRUE(machine->Events().empty()) << "neutral slots must not reach the host";
}

TEST(Lifecycle, ForwardingSlotsReachTheMixer)
{
    auto machine = NewMachine();
    void* m = machine->Object();
    void* ext = machine->RegisteredExtension();
    machine->Events().clear();
    // The reference mixer answers each forwarded call with its own slot number.
    EXPECT_TRUE(CallSlot<bool>(m, 4, 1, 2, 3, 4));
    CallSlot<void>(m, 6, static_cast<void*>(nullptr));
    EXPECT_EQ(CallSlot<std::intptr_t>(ext, 3, 10, 11), 1);
    EXPECT_EQ(CallSlot<std::intptr_t>(ext, 4, 12), 2);
    EXPECT_EQ(CallSlot<std::intptr_t>(ext, 5, 13, 14), 3);
    EXPECT_EQ(CallSlot<std::intptr_t>(ext, 6, 15, 16, 17), 5);
    EXPECT_EQ(CallSlot<std::intptr_t>(ext, 8, 18, 19), 4);
    const Events expected = {"mixer.7(1,2,3,4)", "mixer.9",         "mixer.1(10,11)", "mixer.2(12)",
                             "mixer.3(13,14)",   "mixer.5(15,16,17)", "mixer.4(18,19)"};
    EXPECT_EQ(machine->Events(), expected);
}

TEST(Lifecycle, NeutralExtensionSlotsAnswerAsTabled)
{
    auto machine = NewMachine();
    void* ext = machine->RegisteredExtension();
    machine->Events().clear();
    EXPECT_EQ(CallSlot<void*>(ext, 0, 1), nullptr);
    EXPECT_FALSE(CallSlot<bool>(ext, 1, 1));
    CallSlot<void>(ext, 2, 1, 2);
    CallSlot<void>(ext, 7, 1, 2, 3);
    EXPECT_FALSE(CallSlot<bool>(ext, 9, 1, 2, 3));
    for (int slot = 10; slot < host::kExtensionSlotCount; ++slot)
        CallSlot<void>(ext, slot);
    EXPECT_TRUE(machine->Events().empty());
}

// A further derived machine substitutes slot 19; Initialise must go through the
// table and so register (and wire) the substitute.
class SubstituteExtensionMachine : public MultibandMachine {
public:
    void* KORVAX_SLOT GetExtension() noexcept override
    {
        ++calls;
        return &substitute;
    }
    MachineSlotsEx substitute;
    int calls = 0;
};

TEST(Lifecycle, InitialiseReachesGetExtensionThroughTheSlotTable)
{
    void* memory = MachineSlots::AllocateObject(sizeof(SubstituteExtensionMachine));
    ASSERT_NE(memory, nullptr);
    auto* derived = new (memory) SubstituteExtensionMachine();
    {
        host::Machine hosted(derived, &Description(), 44100);
        hosted.Initialise();
        EXPECT_EQ(derived->calls, 1);
        EXPECT_EQ(hosted.RegisteredExtension(), &derived->substitute);
        EXPECT_EQ(derived->substitute.inputMixer, hosted.CurrentMixer());
        EXPECT_EQ(derived->extension.inputMixer, nullptr);
    }   // the host destroys and frees it through slot 0
}

TEST(Lifecycle, SlotsBeforeInitialiseDoNotFollowANullMixer)
{
    auto machine = NewMachine(44100, false);
    float buffer[8] = {};
    EXPECT_FALSE(machine->Process(buffer, 4, 3));
    EXPECT_FALSE(CallSlot<bool>(machine->Object(), 4, 1, 2, 3, 4));
    CallSlot<void>(machine->Object(), 23, static_cast<void*>(nullptr));
}

} // namespace
} // namespace korvax::test
