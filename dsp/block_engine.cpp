#include "dsp/block_engine.h"

#include <algorithm>
#include <cstring>

#include "dsp/band_mask.h"
#include "dsp/kernels.h"
#include "dsp/real_fft.h"
#include "params/curves.h"

namespace korvax {
namespace {

constexpr float kLowBandLowEdgeHz = 10.0f;       // below the lower-ramp limit: no lower slope
constexpr float kHighBandHighEdgeHz = 24000.0f;  // above the upper-ramp limit: no upper slope
constexpr double kSteepnessScale = 0.0078125;    // 1/128, exact
constexpr double kCrossFadeScale = 0.0001220703125;   // 2^-13, exact
constexpr std::int32_t kMaxPairCount = 1 << 30;

// Gained samples are held within +-2^64, a level 2^64 times full scale that no
// audio reaches. A block transform sums 16384 samples, so a block of values near
// the float maximum would overflow to infinity there and come back as NaN over
// two whole blocks, limiter or not. Within this level every value through the
// transforms, the masks and the dynamics stays far inside the float range, so the
// output keeps to the limiter's bound. Infinite input is held at the level too;
// NaN passes unchanged.
constexpr float kGainedLevelLimit = 0x1p64f;

// Precision: values within the limit pass bit for bit.
inline float LimitGainedLevel(float x, float limit) noexcept
{
    if (x > limit)
        return limit;
    if (x < -limit)
        return -limit;
    return x;
}

// Works out the band masks' gains for the call's setting unless the table
// holds them already; returns whether it did. An engine's settings change far
// less often than it completes blocks.
bool UpdateMaskGains(BandGainTable& table, const CallValues& v) noexcept
{
    const BandEdges edges[3] = {
        {kLowBandLowEdgeHz, v.lowSplitHz}, {v.lowSplitHz, v.highSplitHz}, {v.highSplitHz, kHighBandHighEdgeHz}};
    if (BandGainsMatch(table, kBlockFloats, v.sampleRate, edges, v.steepness))
        return false;
    PrepareBandGains(table, kBlockFloats, v.sampleRate, edges, v.steepness);
    return true;
}

// Transforms pipeline X's gathered block, shapes three bands out of each
// channel's spectrum and transforms them back, all in place in X's buffers.
void CompleteBlock(BandBuffers& b, BandGainTable& maskGains, std::int32_t& columnsDone, std::int32_t& forwardSwept,
                   int x, const CallValues& v) noexcept
{
    float* const lowL = b.Get(kBandLow, x, kLeft);
    float* const lowR = b.Get(kBandLow, x, kRight);
    float* const midL = b.Get(kBandMid, x, kLeft);
    float* const midR = b.Get(kBandMid, x, kRight);
    float* const highL = b.Get(kBandHigh, x, kLeft);
    float* const highR = b.Get(kBandHigh, x, kRight);

    // The forward transforms' first steps ran while the block was gathered.
    FinishForwardRealFft(lowL, forwardSwept);
    FinishForwardRealFft(lowR, forwardSwept);
    forwardSwept = 0;
    // The spectra are copied into the mid and high buffers and each buffer is
    // masked, in one pass over both channels.
    const ChannelBands channels[2] = {{{lowL, midL, highL}}, {{lowR, midR, highR}}};
    UpdateMaskGains(maskGains, v);
    ApplyBandGains(channels, 2, maskGains);

    // The inverse transforms' last passes are left to FinishColumns: the call
    // that completes a block then does only what its own pairs read.
    bool pending = false;
    for (float* band : {lowL, lowR, midL, midR, highL, highR})
        pending = BeginInverseRealFft(band);
    columnsDone = pending ? 0 : kInverseColumnGroups;
}

// Runs the steps of pipeline x's forward transforms that the samples gathered
// so far (positions below `written`) allow.
inline void SweepForward(EngineState& state, int x, std::uint32_t written) noexcept
{
    std::int32_t& swept = state.forwardSwept[x];
    const std::int32_t ready = ForwardSweepReady(std::int32_t(written));
    if (ready <= swept)
        return;
    SweepForwardRealFft(state.bands.Get(kBandLow, x, kLeft), swept, ready);
    SweepForwardRealFft(state.bands.Get(kBandLow, x, kRight), swept, ready);
    swept = ready;
}

// Finishes pipeline x's inverse transforms as far as the read-out at `position`
// (0 .. 16383) needs them.
inline void FinishColumns(EngineState& state, int x, std::uint32_t position) noexcept
{
    std::int32_t& done = state.columnsDone[x];
    if (done >= kInverseColumnGroups)
        return;
    const std::int32_t needed = position >= std::uint32_t(kInverseColumnSamples)
                                    ? kInverseColumnGroups
                                    : std::int32_t(position / (kInverseColumnSamples / kInverseColumnGroups)) + 1;
    if (needed <= done)
        return;
    for (int band = 0; band < 3; ++band)
        for (int channel = 0; channel < 2; ++channel)
            FinishInverseColumns(state.bands.Get(band, x, channel), done, needed);
    done = needed;
}

// Triangular cross-fade: A weighs 0 at its block boundary, 1 at its middle.
// Precision: exact (multiples of 2^-13 below 2).
inline double WeightA(std::uint32_t positionA) noexcept
{
    double weightA = double(positionA) * kCrossFadeScale;
    if (weightA > 1.0)
        weightA = 2.0 - weightA;
    return weightA;
}

// The six band values of pair j of a run (see engine::CrossFade in
// dsp/kernels.h): weightB * B + weightA * A per band and channel.
// Precision: products and sum in double, one rounding to float.
inline void FadePair(const float* const (&fromA)[6], const float* const (&fromB)[6], std::uint32_t first,
                     float* bands, std::int32_t j) noexcept
{
    const double weightA = WeightA(first + std::uint32_t(j));
    const double weightB = 1.0 - weightA;
    for (int v = 0; v < kBandValueCount; ++v)
        bands[kBandValueCount * j + v] =
            static_cast<float>(weightB * double(fromB[v][j]) + weightA * double(fromA[v][j]));
}

// Gathering of pair j of a run (see engine::Gather in dsp/kernels.h).
// Precision: the product in double, one rounding to float.
inline void GatherPair(const float* input, double gain, float limit, float* const (&toA)[2],
                       float* const (&toB)[2], std::int32_t j) noexcept
{
    const float left = LimitGainedLevel(static_cast<float>(double(input[2 * j]) * gain), limit);
    const float right = LimitGainedLevel(static_cast<float>(double(input[2 * j + 1]) * gain), limit);
    toA[kLeft][j] = left;
    toA[kRight][j] = right;
    toB[kLeft][j] = left;
    toB[kRight][j] = right;
}

// Where a run of pairs reads its values and writes its samples: the twelve
// buffers from the positions given.
struct RunPointers {
    const float* fromA[6];   // low L, low R, mid L, mid R, high L, high R
    const float* fromB[6];
    float* toA[2];           // low L, low R: where the gathered samples go
    float* toB[2];
};

RunPointers Pointers(BandBuffers& b, std::uint32_t readA, std::uint32_t readB, std::uint32_t writeA,
                     std::uint32_t writeB) noexcept
{
    RunPointers p;
    for (int band = 0; band < 3; ++band)
        for (int channel = 0; channel < 2; ++channel) {
            p.fromA[2 * band + channel] = b.Get(band, kPipelineA, channel) + readA;
            p.fromB[2 * band + channel] = b.Get(band, kPipelineB, channel) + readB;
        }
    for (int channel = 0; channel < 2; ++channel) {
        p.toA[channel] = b.Get(kBandLow, kPipelineA, channel) + writeA;
        p.toB[channel] = b.Get(kBandLow, kPipelineB, channel) + writeB;
    }
    return p;
}

// Zeroes the band values the solo mode silences; any other mode keeps all six.
void RouteSolo(BandValues& bands, std::int32_t soloMode) noexcept
{
    int kept;
    switch (soloMode) {
    case kSoloLow: kept = kBandLow; break;
    case kSoloMid: kept = kBandMid; break;
    case kSoloHigh: kept = kBandHigh; break;
    default: return;
    }
    for (int band = 0; band < 3; ++band)
        if (band != kept)
            bands[2 * band] = bands[2 * band + 1] = 0.0f;
}

// What every pair of a call shares.
struct Gathering {
    const CallValues& values;
    double gain;
    std::int32_t soloMode;
};

// One pair, in the order that defines the engine: the gained input goes into
// both pipelines, the positions advance (a pipeline that reaches its end
// completes its block), then the pair's band values are read.
void GatherAndFadePair(EngineState& state, const Gathering& g, const float* input, BandValues& bands) noexcept
{
    BandBuffers& b = state.bands;
    const RunPointers written = Pointers(b, 0, 0, state.blockAPosition, state.blockBPosition);
    GatherPair(input, g.gain, kGainedLevelLimit, written.toA, written.toB, 0);

    for (const int x : {kPipelineA, kPipelineB}) {
        std::uint32_t& position = x == kPipelineA ? state.blockAPosition : state.blockBPosition;
        if (++position == std::uint32_t(kBlockFloats)) {
            position = 0;
            CompleteBlock(b, state.maskGains, state.columnsDone[x], state.forwardSwept[x], x, g.values);
            state.maskGainsAhead = false;
        } else {
            SweepForward(state, x, position);
        }
    }

    FinishColumns(state, kPipelineA, state.blockAPosition);
    FinishColumns(state, kPipelineB, state.blockBPosition);
    const RunPointers read = Pointers(b, state.blockAPosition, state.blockBPosition, 0, 0);
    FadePair(read.fromA, read.fromB, state.blockAPosition, bands.data(), 0);
    RouteSolo(bands, g.soloMode);
}

// The kernels write a run's band values as rows of six floats (the AVX-512
// cross-fade 48 at a time, eight pairs), so BandValues must be six floats with
// nothing between them.
static_assert(sizeof(BandValues) == kBandValueCount * sizeof(float) && alignof(BandValues) == alignof(float));

// `count` pairs none of which ends a block (both positions stay below the end):
// the same results as GatherAndFadePair for each in turn. Pair j writes
// position p + j and reads p + j + 1, and nothing else touches those, so every
// read may come first (a position is read before it is written, as pair by
// pair), and then every write.
void GatherAndFadeRun(EngineState& state, const Gathering& g, const float* input, BandValues* bands,
                      std::int32_t count) noexcept
{
    const std::uint32_t a = state.blockAPosition;
    const std::uint32_t bPos = state.blockBPosition;
    FinishColumns(state, kPipelineA, a + std::uint32_t(count));
    FinishColumns(state, kPipelineB, bPos + std::uint32_t(count));

    const Kernels& kernels = ActiveKernels();
    const RunPointers p = Pointers(state.bands, a + 1, bPos + 1, a, bPos);
    float* const values = bands[0].data();
    for (std::int32_t j = kernels.crossFade(p.fromA, p.fromB, a + 1, values, count); j < count; ++j)
        FadePair(p.fromA, p.fromB, a + 1, values, j);
    if (g.soloMode == kSoloLow || g.soloMode == kSoloMid || g.soloMode == kSoloHigh)
        for (std::int32_t j = 0; j < count; ++j)
            RouteSolo(bands[j], g.soloMode);

    for (std::int32_t j = kernels.gather(input, g.gain, kGainedLevelLimit, p.toA, p.toB, count); j < count; ++j)
        GatherPair(input, g.gain, kGainedLevelLimit, p.toA, p.toB, j);
    state.blockAPosition = a + std::uint32_t(count);
    state.blockBPosition = bPos + std::uint32_t(count);
    SweepForward(state, kPipelineA, state.blockAPosition);
    SweepForward(state, kPipelineB, state.blockBPosition);
}

// The call's values: from the cache when the working values (compared bit for
// bit) and the rate are the last call's, else derived and kept.
const CallValues& PrepareCall(CallCache& cache, const WorkingParameters& working, std::int32_t sampleRate) noexcept
{
    if (cache.valid && cache.values.sampleRate == sampleRate &&
        std::memcmp(&cache.working, &working, sizeof working) == 0)
        return cache.values;
    CallValues& values = cache.values;
    values.inputGain = InputGain(working.Input);
    values.lowSplitHz = SplitFrequency(working.LowSplit);
    values.highSplitHz = SplitFrequency(working.HighSplit);
    values.steepness = static_cast<float>(double(working.Steepness) * kSteepnessScale);
    values.sampleRate = sampleRate;
    values.dynamics = PrepareDynamics(working);
    cache.working = working;
    cache.valid = true;
    return values;
}

} // namespace

namespace plain {

std::int32_t Gather(const float* input, double gain, float limit, float* const (&toA)[2], float* const (&toB)[2],
                    std::int32_t count) noexcept
{
    for (std::int32_t j = 0; j < count; ++j)
        GatherPair(input, gain, limit, toA, toB, j);
    return count;
}

std::int32_t CrossFade(const float* const (&fromA)[6], const float* const (&fromB)[6], std::uint32_t first,
                       float* bands, std::int32_t count) noexcept
{
    for (std::int32_t j = 0; j < count; ++j)
        FadePair(fromA, fromB, first, bands, j);
    return count;
}

} // namespace plain

// Every byte of the state is written, the mask-gain table's too: a machine
// object fresh from the system has no pages behind it yet, and the first block
// completion, which works out the gains, would otherwise take some fifty page
// faults inside a processing call. Here they are taken where the host
// initialises the machine.
void ResetEngine(EngineState& state) noexcept
{
    const bool metersOn = state.metersOn;
    std::memset(static_cast<void*>(&state), 0, sizeof state);   // every buffer float 0.0, no mask gains
    state.metersOn = metersOn;
    ClearGainMeters(state.meters);
    ResetGainStates(state.gains);
    state.silenceTail = 0;
    state.blockAPosition = 0;
    state.blockBPosition = kBlockHalfLength;
    state.maskGains.valid = false;
    state.columnsDone[kPipelineA] = kInverseColumnGroups;
    state.columnsDone[kPipelineB] = kInverseColumnGroups;
    state.forwardSwept[kPipelineA] = 0;
    state.forwardSwept[kPipelineB] = 0;
    state.callCache.valid = false;
}

void SwitchMeters(EngineState& state, bool on) noexcept
{
    state.metersOn = on;
    ClearGainMeters(state.meters);
}

GainMeters TakeMeters(EngineState& state) noexcept
{
    const GainMeters taken = state.meters;
    ClearGainMeters(state.meters);
    return taken;
}

bool ProcessStereo(EngineState& state, const WorkingParameters& working, const std::int32_t* sampleRate,
                   float* samples, std::int32_t pairCount, std::int32_t mode) noexcept
{
    const bool input = (mode & kModeInput) != 0;
    const bool output = (mode & kModeOutput) != 0;
    if (!output)
        return input;

    // Counts at or above 2^30 pairs would overflow the float count, and negative
    // counts describe no buffer: neither touches a sample.
    const bool validCount = samples != nullptr && pairCount > 0 && pairCount < kMaxPairCount;

    if (!input) {
        if (validCount) {
            const std::int32_t floatCount = 2 * pairCount;
            for (std::int32_t i = 0; i < floatCount; ++i) {
                samples[i] = 0.0f;
                if (state.silenceTail > 0)
                    --state.silenceTail;
            }
        }
        return state.silenceTail > 0;
    }

    state.silenceTail = kSilenceTailFloats;
    // Without a MasterInfo there is no rate; the band mask treats a rate of 0 safely.
    const CallValues& values = PrepareCall(state.callCache, working, sampleRate != nullptr ? *sampleRate : 0);
    const DynamicsCoefficients& coefficients = values.dynamics;

    if (working.SoloMode == kSoloBypass || !validCount)
        return true;

    const Gathering g = {values, double(values.inputGain), working.SoloMode};

    // The first call that brings a new setting works out the masks' gains for
    // it, so that the call which completes the next block finds them ready;
    // once between block completions, so that a setting changing on every call
    // costs no more than one extra table. (The first call after the engine is
    // initialised is such a call.)
    if (!state.maskGainsAhead)
        state.maskGainsAhead = UpdateMaskGains(state.maskGains, values);

    // Pairs are gathered and cross-faded a run at a time, then the dynamics stage
    // takes the run. Each pair's input is read before any output of the run is
    // written, and every later stage sees the pairs in order, so the result is
    // that of one pair at a time.
    constexpr std::int32_t kRunPairs = 64;
    BandValues bands[kRunPairs];
    OutputPair out[kRunPairs];
    for (std::int32_t start = 0; start < pairCount; start += kRunPairs) {
        const std::int32_t run = std::min(kRunPairs, pairCount - start);
        float* const first = samples + 2 * static_cast<std::ptrdiff_t>(start);
        for (std::int32_t i = 0; i < run;) {
            // Pairs before the next one that ends a block go together.
            const std::int32_t toEndA = kBlockFloats - std::int32_t(state.blockAPosition);
            const std::int32_t toEndB = kBlockFloats - std::int32_t(state.blockBPosition);
            const std::int32_t together = std::min({run - i, toEndA - 1, toEndB - 1});
            if (together > 0) {
                GatherAndFadeRun(state, g, first + 2 * i, bands + i, together);
                i += together;
            } else {
                GatherAndFadePair(state, g, first + 2 * i, bands[i]);
                ++i;
            }
        }
        ProcessDynamicsPairs(coefficients, state.gains, bands, out, run, state.metersOn ? &state.meters : nullptr);
        for (std::int32_t i = 0; i < run; ++i) {
            first[2 * i] = out[i].left;
            first[2 * i + 1] = out[i].right;
        }
    }
    return true;
}

} // namespace korvax
