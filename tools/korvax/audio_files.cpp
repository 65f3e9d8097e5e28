#include "tools/korvax/audio_files.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/korvax/failure.h"
#include "tools/korvax/interrupt.h"

namespace korvax::cli {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& path)
{
    return "'" + path + "'";
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// libsndfile's messages end in a full stop; ours continue after them.
std::string SndfileMessage(SNDFILE* file)
{
    std::string message = sf_strerror(file);
    while (!message.empty() && (message.back() == '.' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

std::string FormatName(int format)
{
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr)
        return "unknown";
    std::string name = info.name;
    return name.substr(0, name.find(" ("));   // "WAV (Microsoft)" -> "WAV"
}

std::string EncodingName(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return "8-bit PCM";
    case SF_FORMAT_PCM_16: return "16-bit PCM";
    case SF_FORMAT_PCM_24: return "24-bit PCM";
    case SF_FORMAT_PCM_32: return "32-bit PCM";
    case SF_FORMAT_FLOAT: return "32-bit float";
    case SF_FORMAT_DOUBLE: return "64-bit float";
    case SF_FORMAT_VORBIS: return "Vorbis";
    case SF_FORMAT_OPUS: return "Opus";
    default: {
        SF_FORMAT_INFO info{};
        info.format = subtype;
        if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr)
            return info.name;
        return "unknown encoding";
    }
    }
}

// The sample rate a WAV or AIFF header declares, read directly. libsndfile
// refuses a rate of zero with nothing better than "SF_INFO struct incomplete",
// so when it refuses a file this tells the user what is actually wrong.
std::optional<double> DeclaredSampleRate(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::vector<unsigned char> b(65536);
    stream.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
    const std::size_t size = static_cast<std::size_t>(stream.gcount());
    auto is = [&](std::size_t at, const char* tag) { return at + 4 <= size && std::memcmp(&b[at], tag, 4) == 0; };
    auto le32 = [&](std::size_t at) { return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 |
                                             std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 3]) << 24; };
    auto be32 = [&](std::size_t at) { return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
                                             std::uint32_t(b[at + 2]) << 8 | std::uint32_t(b[at + 3]); };

    if ((is(0, "RIFF") || is(0, "RF64")) && is(8, "WAVE")) {
        for (std::size_t at = 12; at + 8 <= size;) {
            const std::uint32_t length = le32(at + 4);
            if (is(at, "fmt ") && at + 16 <= size)
                return double(le32(at + 12));   // after the format tag and channel count
            at += 8 + std::size_t(length) + (length & 1);
        }
    } else if (is(0, "FORM") && (is(8, "AIFF") || is(8, "AIFC"))) {
        for (std::size_t at = 12; at + 8 <= size;) {
            const std::uint32_t length = be32(at + 4);
            if (is(at, "COMM") && at + 26 <= size) {
                // An 80-bit extended float after channels, frames and bits.
                const unsigned char* e = &b[at + 16];
                const int exponent = ((e[0] & 0x7F) << 8) | e[1];
                std::uint64_t mantissa = 0;
                for (int i = 2; i < 10; ++i)
                    mantissa = mantissa << 8 | e[i];
                return mantissa == 0 ? 0.0 : std::ldexp(double(mantissa), exponent - 16383 - 63);
            }
            at += 8 + std::size_t(length) + (length & 1);
        }
    }
    return std::nullopt;
}

int BytesPerSample(Encoding encoding)
{
    switch (encoding) {
    case Encoding::kPcm16: return 2;
    case Encoding::kPcm24: return 3;
    default: return 4;
    }
}

} // namespace

// ---- Input ----------------------------------------------------------------------

InputFile::InputFile(const std::string& path) : path_(path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw Failure("cannot open IN " + Quoted(path) + ": " + std::strerror(errno));
    if (S_ISDIR(status.st_mode))
        throw Failure("IN " + Quoted(path) + " is a directory, not an audio file");
    if (::access(path.c_str(), R_OK) != 0)
        throw Failure("cannot open IN " + Quoted(path) + ": " + std::strerror(errno));

    file_ = sf_open(path.c_str(), SFM_READ, &info_);
    if (file_ == nullptr) {
        const int error = sf_error(nullptr);
        const std::string reason = SndfileMessage(nullptr);
        if (const std::optional<double> rate = DeclaredSampleRate(path); rate && *rate < 1.0)
            throw Failure("IN " + Quoted(path) + " has a sample rate of 0 Hz");
        if (error == SF_ERR_UNRECOGNISED_FORMAT)
            throw Failure("IN " + Quoted(path) + " is not in an audio format korvax can read (" + reason + ")");
        if (error == SF_ERR_UNSUPPORTED_ENCODING)
            throw Failure("IN " + Quoted(path) + " uses an encoding korvax cannot read (" + reason + ")");
        throw Failure("IN " + Quoted(path) + " is damaged or unreadable (" + reason + ")");
    }
    if (info_.channels < 1 || info_.channels > 2) {
        const std::string channels = std::to_string(info_.channels);
        sf_close(file_);
        file_ = nullptr;
        throw Failure("IN " + Quoted(path) + " has " + channels +
                      " channels; korvax renders mono and stereo files only");
    }
    if (info_.samplerate <= 0) {
        const std::string rate = std::to_string(info_.samplerate);
        sf_close(file_);
        file_ = nullptr;
        throw Failure("IN " + Quoted(path) + " has a sample rate of " + rate + " Hz");
    }
}

InputFile::~InputFile()
{
    if (file_ != nullptr)
        sf_close(file_);
}

std::string InputFile::FormatText() const
{
    return EncodingName(info_.format & SF_FORMAT_SUBMASK) + " " + FormatName(info_.format & SF_FORMAT_TYPEMASK);
}

std::int64_t InputFile::Read(float* frames, std::int64_t count)
{
    const sf_count_t read = sf_readf_float(file_, frames, count);
    if (read < count && sf_error(file_) != SF_ERR_NO_ERROR)
        throw Failure("cannot read IN " + Quoted(path_) + ": " + SndfileMessage(file_));
    return read;
}

// ---- Output format ----------------------------------------------------------------

OutputFormat ChooseOutputFormat(const std::string& option, const std::string& outPath)
{
    const std::string extension = Lower(fs::path(outPath).extension().string());
    int container = 0;
    if (extension.empty() || extension == ".wav" || extension == ".wave")
        container = SF_FORMAT_WAV;
    else if (extension == ".aif" || extension == ".aiff" || extension == ".aifc")
        container = SF_FORMAT_AIFF;
    else if (extension == ".flac")
        container = SF_FORMAT_FLAC;
    else
        throw Failure("OUT " + Quoted(outPath) + ": korvax writes .wav, .aif/.aiff and .flac files, not '" +
                      extension + "'");

    const std::string word = Lower(option);
    Encoding encoding = container == SF_FORMAT_FLAC ? Encoding::kPcm24 : Encoding::kFloat32;
    bool needsFlac = false;
    if (word.empty()) {
    } else if (word == "float" || word == "float32") {
        encoding = Encoding::kFloat32;
    } else if (word == "pcm16") {
        encoding = Encoding::kPcm16;
    } else if (word == "pcm24") {
        encoding = Encoding::kPcm24;
    } else if (word == "flac" || word == "flac24") {
        encoding = Encoding::kPcm24;
        needsFlac = true;
    } else if (word == "flac16") {
        encoding = Encoding::kPcm16;
        needsFlac = true;
    } else {
        throw UsageError("render", "--format '" + option + "': expected float, pcm16, pcm24, flac or flac16");
    }
    if (needsFlac && container != SF_FORMAT_FLAC)
        throw Failure("--format " + word + " writes FLAC: give OUT the extension .flac");
    if (container == SF_FORMAT_FLAC && encoding == Encoding::kFloat32)
        throw Failure("FLAC holds 16- or 24-bit samples only: use --format flac or flac16, or a .wav OUT for float");

    OutputFormat format;
    format.encoding = encoding;
    switch (encoding) {
    case Encoding::kFloat32: format.sndfileFormat = container | SF_FORMAT_FLOAT; break;
    case Encoding::kPcm16: format.sndfileFormat = container | SF_FORMAT_PCM_16; break;
    case Encoding::kPcm24: format.sndfileFormat = container | SF_FORMAT_PCM_24; break;
    }
    format.text = EncodingName(format.sndfileFormat & SF_FORMAT_SUBMASK) + " " + FormatName(container);
    return format;
}

std::string ResolveOutputPath(const std::string& outPath)
{
    fs::path out(outPath);
    if (out.filename().empty() || out.filename() == "." || out.filename() == "..")
        throw Failure("OUT " + Quoted(outPath) + " names a directory, not a file");
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(out, error))) {
        const fs::path target = fs::canonical(out, error);
        if (!error)
            out = target;   // write through the link; a dangling link is replaced
    }
    if (fs::is_directory(out, error))
        throw Failure("OUT " + Quoted(outPath) + " is a directory");
    return out.string();
}

void RefuseSameFile(const std::string& inPath, const std::string& outPath)
{
    struct stat inStatus {}, outStatus {};
    const bool sameInode = ::stat(inPath.c_str(), &inStatus) == 0 && ::stat(outPath.c_str(), &outStatus) == 0 &&
                           inStatus.st_dev == outStatus.st_dev && inStatus.st_ino == outStatus.st_ino;
    std::error_code inError, outError;
    const fs::path inNormal = fs::weakly_canonical(fs::absolute(inPath), inError);
    const fs::path outNormal = fs::weakly_canonical(fs::absolute(outPath), outError);
    if (sameInode || (!inError && !outError && inNormal == outNormal))
        throw Failure("OUT " + Quoted(outPath) + " is the same file as IN; korvax does not render in place");
}

// ---- Output -------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& path, const OutputFormat& format, int channels, int sampleRate,
                       std::int64_t expectedFrames)
    : path_(path)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format.sndfileFormat;
    // A WAV file counts its data in 32 bits; beyond that it has to be RF64.
    constexpr std::int64_t kWavDataLimit = 0xFFFFFFFFll - (1 << 20);
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && expectedFrames > 0 &&
        expectedFrames > kWavDataLimit / (std::int64_t(channels) * BytesPerSample(format.encoding)))
        info.format = SF_FORMAT_RF64 | (info.format & SF_FORMAT_SUBMASK);
    if (!sf_format_check(&info))
        throw Failure("OUT " + Quoted(path) + ": libsndfile cannot write " + format.text + " with " +
                      std::to_string(channels) + " channel(s) at " + std::to_string(sampleRate) + " Hz");

    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string name = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        throw Failure("cannot write OUT " + Quoted(path) + ": " + std::strerror(errno));
    temporaryPath_ = name;
    RegisterTemporaryFile(temporaryPath_);

    // mkstemp makes the file private; give it what replacing or creating OUT would.
    struct stat existing {};
    mode_t mode;
    if (::stat(path.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);

    fd_ = fd;
    file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);   // the descriptor stays ours to close
    if (file_ == nullptr) {
        const std::string reason = SndfileMessage(nullptr);
        Discard();
        throw Failure("cannot write OUT " + Quoted(path) + ": " + reason);
    }
}

OutputFile::~OutputFile()
{
    if (!committed_)
        Discard();
}

void OutputFile::Discard() noexcept
{
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporaryPath_.empty()) {
        ::unlink(temporaryPath_.c_str());
        temporaryPath_.clear();
        ForgetTemporaryFile();
    }
}

void OutputFile::WriteFloat(const float* frames, std::int64_t count)
{
    if (count > 0 && sf_writef_float(file_, frames, count) != count)
        throw Failure("cannot write OUT " + Quoted(path_) + ": " + SndfileMessage(file_));
}

void OutputFile::WriteInt(const int* frames, std::int64_t count)
{
    if (count > 0 && sf_writef_int(file_, frames, count) != count)
        throw Failure("cannot write OUT " + Quoted(path_) + ": " + SndfileMessage(file_));
}

void OutputFile::Commit()
{
    const int closeError = sf_close(file_);
    file_ = nullptr;
    if (closeError != SF_ERR_NO_ERROR)
        throw Failure("cannot finish OUT " + Quoted(path_) + ": " + sf_error_number(closeError));
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)   // a late write error (a full disk, a network file system) shows here
        throw Failure("cannot finish OUT " + Quoted(path_) + ": " + std::strerror(errno));
    if (::rename(temporaryPath_.c_str(), path_.c_str()) != 0)
        throw Failure("cannot write OUT " + Quoted(path_) + ": " + std::strerror(errno));
    temporaryPath_.clear();
    ForgetTemporaryFile();
    committed_ = true;
}

} // namespace korvax::cli
