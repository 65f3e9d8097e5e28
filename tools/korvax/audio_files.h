#pragma once
// Audio files through libsndfile: the input reader with errors a user can act
// on, the choice of output format, and an output that appears under its name
// only once it is complete and on disk.
//
// "-" names standard input as IN and standard output as OUT. Both pass through
// a temporary file that has no name (so nothing is left behind, whatever
// happens): IN is read whole first, since some formats (FLAC among them) need
// to seek, and OUT is copied out only once complete, since a WAV header gives
// the length at its start. A failed render writes nothing to standard output.

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvax::cli {

class TemporaryFileRegistration;

// An open input file: WAV, AIFF, FLAC, Ogg and whatever else libsndfile reads.
// Samples come as floats, ±1.0 at full scale, frames interleaved.
class InputFile {
public:
    // Throws Failure when the file is missing, unreadable, not audio, or has
    // other than one or two channels or no sample rate. A pipe, a FIFO or any
    // other file that is not a regular one is read whole first.
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
    // The texts its header holds (title, artist, ...), as libsndfile's string
    // types with their values.
    std::vector<std::pair<int, std::string>> Tags() const;

    // Reads up to `count` frames; fewer only at the end. Throws Failure on a read error.
    std::int64_t Read(float* frames, std::int64_t count);

private:
    void Open(const std::string& name);
    void Close() noexcept;

    std::string path_;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
    int fd_ = -1;
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

// OUT as it will be written: a symbolic link is followed to its target; "-"
// stays "-". Throws Failure when OUT names a directory or no file at all.
std::string ResolveOutputPath(const std::string& outPath);

// Throws Failure when OUT is the file IN names: the same device and inode when
// OUT exists, or the same normalised path.
void RefuseSameFile(const std::string& inPath, const std::string& outPath);

// Writes into a temporary file beside the final path, which Commit flushes to
// disk and renames into place (flushing the folder after it). Until then an
// existing file of that name is untouched, and destroying an uncommitted
// OutputFile removes the temporary file. The file holds no time stamp or other
// trace of when it was made: the same samples give the same bytes.
class OutputFile {
public:
    // Throws Failure when the folder is not writable or the format is refused.
    // `tags` (libsndfile string types and texts) go into the file where its
    // format holds them.
    OutputFile(const std::string& path, const OutputFormat& format, int channels, int sampleRate,
               std::int64_t expectedFrames, const std::vector<std::pair<int, std::string>>& tags = {});
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Interleaved frames: floats at ±1.0, or integers at the full 32-bit scale
    // (the sample's bits left-justified). Throw Failure when the write fails.
    void WriteFloat(const float* frames, std::int64_t count);
    void WriteInt(const int* frames, std::int64_t count);

    // Finishes the file, flushes it to disk and renames it into place (or copies
    // it to standard output); throws Failure when any of it fails.
    void Commit();

    const std::string& Path() const { return path_; }

private:
    void Discard() noexcept;

    void CopyToStandardOutput();

    std::string path_;
    std::string temporaryPath_;   // empty for standard output, whose file has no name
    std::unique_ptr<TemporaryFileRegistration> registration_;
    SNDFILE* file_ = nullptr;
    int fd_ = -1;
    bool toStandardOutput_ = false;
    bool committed_ = false;
};

// Writes `text` to `path` as OUT is written (beside it, flushed, renamed); "-"
// writes standard output. Throws Failure.
void WriteTextFile(const std::string& path, const std::string& text);

// The file type a name gives (.wav, .aif/.aiff, .flac), 0 for any other.
int ContainerOf(const std::string& path);

} // namespace korvax::cli
