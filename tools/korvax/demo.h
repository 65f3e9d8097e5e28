#pragma once
// The demo programmes: a short piece of stereo music made in code (drums, a bass
// line and a bright pad over four chords) and a speech-like signal, the same for
// the same seed on every platform, to hear and measure the machine without
// bringing a file.

#include <cstdint>
#include <vector>

namespace korvax::cli {

inline constexpr int kDemoSampleRate = 48000;
inline constexpr double kDemoSeconds = 10.0;

// Interleaved stereo frames at ±1.0, peaking at -1 dBFS.
std::vector<float> SynthesiseDemo(std::uint32_t seed, int sampleRate = kDemoSampleRate,
                                  double seconds = kDemoSeconds);

// A speech-like signal, the same in both channels: phrases of syllables, each
// a gliding glottal pulse train through the formants of a vowel, with hissed
// consonants and the pauses of speech between words and phrases. Interleaved
// stereo frames, peaking at -1 dBFS.
std::vector<float> SynthesiseSpeech(std::uint32_t seed, int sampleRate = kDemoSampleRate,
                                    double seconds = kDemoSeconds);

} // namespace korvax::cli
