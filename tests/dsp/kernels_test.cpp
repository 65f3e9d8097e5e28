// The kernel table: the tier chosen when the library loads, the KORVAX_ISA cap,
// and the scoped switch the tests use.

#include "dsp/kernels.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace korvax {
namespace {

const Isa kTiers[] = {Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512};

// The widest tier within the cap is the one in use, and a cap names a tier
// (CI runs the whole suite under each, and a misspelt one must not pass as
// uncapped).
TEST(KernelTable, LoadChoosesTheWidestTierWithinTheCap)
{
    EXPECT_TRUE(IsaCapRecognised()) << "KORVAX_ISA names no tier";
    EXPECT_EQ(ActiveKernels().isa, WidestIsa());
    EXPECT_TRUE(IsaAvailable(Isa::kPlain));
    EXPECT_TRUE(IsaAvailable(WidestIsa()));
    for (const Isa isa : kTiers) {
        if (isa > WidestIsa()) {
            EXPECT_FALSE(IsaAvailable(isa)) << IsaName(isa);
        }
    }
    const char* const cap = std::getenv("KORVAX_ISA");
    const bool capped = cap != nullptr && *cap != '\0';
    if (capped) {
        std::printf("KORVAX_ISA=%s: tier %s\n", cap, IsaName(WidestIsa()));
        for (const Isa isa : kTiers) {
            if (std::strcmp(cap, IsaName(isa)) == 0) {
                EXPECT_LE(WidestIsa(), isa);
            }
        }
    }
#if defined(__x86_64__) || defined(__i386__)
    if (!capped || WidestIsa() > Isa::kPlain) {
        EXPECT_TRUE(IsaAvailable(Isa::kSse2)) << "every x86 build and processor has the SSE2 tier";
    }
#endif
}

TEST(KernelTable, EveryTierHasEveryKernel)
{
    for (const Isa isa : kTiers) {
        const ScopedIsa tier(isa);
        if (!tier.Active())
            continue;
        const Kernels& k = ActiveKernels();
        EXPECT_EQ(k.isa, isa);
        EXPECT_EQ(k.transforms == nullptr, isa == Isa::kPlain) << IsaName(isa);
        EXPECT_TRUE(k.prepareGains && k.applyGains && k.gather && k.crossFade && k.dynamics) << IsaName(isa);
    }
}

TEST(KernelTable, ScopedIsaSwitchesWithinTheCapAndRestores)
{
    const Isa before = ActiveKernels().isa;
    {
        const ScopedIsa plain(Isa::kPlain);
        ASSERT_TRUE(plain.Active());
        EXPECT_EQ(ActiveKernels().isa, Isa::kPlain);
        for (const Isa isa : kTiers) {
            const ScopedIsa inner(isa);
            EXPECT_EQ(inner.Active(), IsaAvailable(isa));
            EXPECT_EQ(ActiveKernels().isa, inner.Active() ? isa : Isa::kPlain) << "a refused tier changes nothing";
        }
        EXPECT_EQ(ActiveKernels().isa, Isa::kPlain);
    }
    EXPECT_EQ(ActiveKernels().isa, before);
}

} // namespace
} // namespace korvax
