#pragma once
// Audio files through libsndfile: the input reader with errors a user can act
// on, the choice of output format, and an output that appears under its name
// only once it is complete.

#include <sndfile.h>

#include <cstdint>
#include <string>

namespace korvax::cli {

// An open input file: WAV, AIFF, FLAC, Ogg and whatever else libsndfile reads.
// Samples come as floats, ±1.0 at full scale, frames interleaved.
class InputFile {
public:
    // Throws Failure when the file is missing, unreadable, not audio, or has
    // other than one or two channels or no sample rate.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    int Channels() const { return info_.channels; }
    int SampleRate() const { return info_.samplerate; }
    // As the header declares it; the file may end sooner.
    std::int64_t DeclaredFrames() const { return info_.frames; }
    // "16-bit PCM WAV", "Vorbis OGG", ...
    std::string FormatText() const;

    // Reads up to `count` frames; fewer only at the end. Throws Failure on a read error.
    std::int64_t Read(float* frames, std::int64_t count);

private:
    std::string path_;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
};

enum class Encoding { kFloat32, kPcm16, kPcm24 };

struct OutputFormat {
    int sndfileFormat = 0;     // major | subtype
    Encoding encoding = Encoding::kFloat32;
    std::string text;          // "32-bit float WAV"
};

// `option` is the --format word (float, pcm16, pcm24, flac, flac16; empty for
// the default); the container follows OUT's extension: .wav (or none), .aif or
// .aiff, .flac. Throws UsageError for an unknown word or a mismatch.
OutputFormat ChooseOutputFormat(const std::string& option, const std::string& outPath);

// OUT as it will be written: a symbolic link is followed to its target. Throws
// Failure when OUT names a directory or no file at all.
std::string ResolveOutputPath(const std::string& outPath);

// Throws Failure when OUT is the file IN names: the same device and inode when
// OUT exists, or the same normalised path.
void RefuseSameFile(const std::string& inPath, const std::string& outPath);

// Writes into a temporary file beside the final path, which Commit renames into
// place. Until then an existing file of that name is untouched, and destroying
// an uncommitted OutputFile removes the temporary file.
class OutputFile {
public:
    // Throws Failure when the folder is not writable or the format is refused.
    OutputFile(const std::string& path, const OutputFormat& format, int channels, int sampleRate,
               std::int64_t expectedFrames);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Interleaved frames: floats at ±1.0, or integers at the full 32-bit scale
    // (the sample's bits left-justified). Throw Failure when the write fails.
    void WriteFloat(const float* frames, std::int64_t count);
    void WriteInt(const int* frames, std::int64_t count);

    // Finishes the file and renames it into place; throws Failure when either fails.
    void Commit();

    const std::string& Path() const { return path_; }

private:
    void Discard() noexcept;

    std::string path_;
    std::string temporaryPath_;
    SNDFILE* file_ = nullptr;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace korvax::cli
