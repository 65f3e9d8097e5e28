#pragma once
// Runs the built korvax binary and reads and writes the small audio files the
// render tests feed it.

#include <sndfile.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvax::test {

struct ToolResult {
    int exitCode = -1;      // the status, or 128 + signal when a signal ended it
    std::string out;
    std::string err;

    int ErrLines() const;   // non-empty lines on stderr
};

struct RunOptions {
    std::string input = "/dev/null";    // standard input: this file
    std::vector<std::string> wrapper;   // a program that runs korvax, e.g. {"strace", "-o", LOG}
    bool ignoreHangUp = false;          // started with SIGHUP ignored, as nohup does
};

// Runs korvax with `args` and waits for it; standard output is kept byte for byte.
ToolResult RunKorvax(const std::vector<std::string>& args, const RunOptions& options = {});
// Starts korvax without waiting; stdout and stderr go to /dev/null.
pid_t StartKorvax(const std::vector<std::string>& args, const RunOptions& options = {});
// Waits for a process started by StartKorvax; returns its exit code or 128 + signal,
// and in `signalled` whether a signal ended it. A process still running after
// 120 s is killed and the test fails.
int WaitKorvax(pid_t pid, bool* signalled = nullptr);

struct Audio {
    int sampleRate = 44100;
    int channels = 2;
    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    std::vector<float> samples;   // interleaved, ±1.0

    std::int64_t Frames() const { return static_cast<std::int64_t>(samples.size()) / channels; }
    std::vector<float> Channel(int channel) const;
};

Audio Silence(std::int64_t frames, int channels = 2);
// Uniform noise of the given amplitude, the same for the same seed.
Audio Noise(std::int64_t frames, int channels, std::uint32_t seed, float amplitude = 0.5f);
// A sine in every channel: `peak` at full scale 1.0, `phase` in radians at
// frame 0, faded in and out over `fadeFrames` (raised cosine).
Audio Sine(std::int64_t frames, int channels, int sampleRate, double hz, double peak, double phase = 0.0,
           std::int64_t fadeFrames = 0);

// Writes `audio` as is: floats for a float format, converted by libsndfile otherwise.
void WriteAudio(const std::string& path, const Audio& audio);
// Reads a whole file; an empty Audio with channels 0 when it cannot be opened.
Audio ReadAudio(const std::string& path);
// Reads a whole integer file as 32-bit left-justified integers.
std::vector<int> ReadIntegers(const std::string& path);

std::vector<char> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
// Whether `program` runs here (for tests that need sox or strace).
bool HaveProgram(const std::string& program);
bool Exists(const std::string& path);

// A fresh folder per test, removed with everything in it afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }
    // Names in the folder other than `keep`, e.g. temporary files left behind.
    std::vector<std::string> Others(const std::vector<std::string>& keep) const;

private:
    std::string path_;
};

} // namespace korvax::test
