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

// Runs korvax with `args` and waits for it.
ToolResult RunKorvax(const std::vector<std::string>& args);
// Starts korvax without waiting; stdout and stderr go to /dev/null.
pid_t StartKorvax(const std::vector<std::string>& args);
// Waits for a process started by StartKorvax; returns its exit code or 128 + signal.
// A process still running after 120 s is killed and the test fails.
int WaitKorvax(pid_t pid);

struct Audio {
    int sampleRate = 44100;
    int channels = 2;
    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    std::vector<float> samples;   // interleaved, ±1.0

    std::int64_t Frames() const { return static_cast<std::int64_t>(samples.size()) / channels; }
    std::vector<float> Channel(int channel) const;
};

// Writes `audio` as is: floats for a float format, converted by libsndfile otherwise.
void WriteAudio(const std::string& path, const Audio& audio);
// Reads a whole file; an empty Audio with channels 0 when it cannot be opened.
Audio ReadAudio(const std::string& path);
// Reads a whole integer file as 32-bit left-justified integers.
std::vector<int> ReadIntegers(const std::string& path);

std::vector<char> ReadBytes(const std::string& path);
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
