#include "tools/korvax/audio_files.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
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
std::optional<double> DeclaredSampleRate(int fd)
{
    std::vector<unsigned char> b(65536);
    const ssize_t read = ::pread(fd, b.data(), b.size(), 0);
    const std::size_t size = read > 0 ? static_cast<std::size_t>(read) : 0;
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

// libsndfile's string types, in the order a summary would list them.
constexpr int kTagTypes[] = {SF_STR_TITLE,   SF_STR_ARTIST,      SF_STR_ALBUM,   SF_STR_TRACKNUMBER,
                             SF_STR_DATE,    SF_STR_GENRE,       SF_STR_COMMENT, SF_STR_COPYRIGHT,
                             SF_STR_LICENSE, SF_STR_SOFTWARE};

// A file without a name in TMPDIR (or /tmp): made and unlinked at once, so it
// vanishes with its descriptor whatever ends the process.
int NamelessTemporaryFile(const std::string& purpose)
{
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/korvax-" + purpose +
                       ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        throw Failure("cannot make a temporary file for " + purpose + " in '" +
                      fs::path(name).parent_path().string() + "' (TMPDIR): " + std::strerror(errno));
    ::unlink(name.c_str());
    return fd;
}

// Writes all of `size` bytes; false with errno set on failure.
bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Reads `from` to its end into a nameless temporary file and returns that,
// positioned at its start. Polls for interrupts between reads.
int Spool(int from, const std::string& name)
{
    const int to = NamelessTemporaryFile("input");
    std::vector<char> buffer(1 << 20);
    for (;;) {
        if (PendingSignal() != 0) {
            ::close(to);
            ThrowIfInterrupted();
        }
        const ssize_t read = ::read(from, buffer.data(), buffer.size());
        if (read == 0)
            break;
        if (read < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(to);
            throw Failure("cannot read IN " + name + ": " + std::strerror(error));
        }
        if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(read))) {
            const int error = errno;
            ::close(to);
            throw Failure("cannot hold IN " + name + " in a temporary file (TMPDIR): " + std::strerror(error));
        }
    }
    if (::lseek(to, 0, SEEK_CUR) == 0) {
        ::close(to);
        throw Failure("IN " + name + " is empty");
    }
    ::lseek(to, 0, SEEK_SET);
    return to;
}

// Flushes the temporary file `fd` to disk, closes it and renames it to `path`,
// then flushes the folder, so that after a power cut `path` is the old file or
// the whole new one, never a renamed empty one. Closes `fd` in every case; the
// temporary file is left for the caller to remove when this throws.
void CommitTemporaryFile(int fd, const std::string& temporaryPath, const std::string& path, const std::string& what)
{
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        throw Failure("cannot finish " + what + " " + Quoted(path) + ": " + std::strerror(error));
    }
    if (::close(fd) != 0)   // a late write error (a full disk, a network file system) shows here
        throw Failure("cannot finish " + what + " " + Quoted(path) + ": " + std::strerror(errno));
    if (::rename(temporaryPath.c_str(), path.c_str()) != 0)
        throw Failure("cannot write " + what + " " + Quoted(path) + ": " + std::strerror(errno));

    // The rename is on disk once the folder is. A file system that cannot flush
    // a folder (EINVAL) keeps its own order.
    const fs::path target(path);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return;
    const bool flushed = ::fsync(folderFd) == 0 || errno == EINVAL;
    const int error = errno;
    ::close(folderFd);
    if (!flushed)
        throw Failure(what + " " + Quoted(path) + " is written, but its folder could not be flushed to disk: " +
                      std::strerror(error));
}

// A temporary file beside `path` for what will become it, with the permissions
// creating or replacing `path` would give: "DIR/.NAME.XXXXXX".
int TemporaryFileBeside(const std::string& path, std::string& temporaryPath, const std::string& what,
                        TemporaryFileRegistration& registration)
{
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = registration.Create(temporary);
    if (fd < 0)
        throw Failure("cannot write " + what + " " + Quoted(path) + ": " + std::strerror(errno));
    temporaryPath = temporary;
    // mkstemp makes the file private.
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
    return fd;
}

// libsndfile writes the format chunk of a float WAV file in the 16 bytes of
// the PCM layout, without the extension size that every other format tag
// carries, and readers such as sox warn about it. Where the space of the PEAK
// chunk we turned off follows as a "PAD " chunk, this moves the chunks between
// two bytes on, writes the extension size (0) into the gap and shortens the pad:
// the samples stay where they are. Any other layout is left as it is.
void CompleteFloatFormatChunk(int fd)
{
    std::vector<unsigned char> h(4096);
    const ssize_t read = ::pread(fd, h.data(), h.size(), 0);
    if (read < 44)
        return;
    h.resize(static_cast<std::size_t>(read));
    auto is = [&](std::size_t at, const char* tag) { return at + 8 <= h.size() && std::memcmp(&h[at], tag, 4) == 0; };
    auto le32 = [&](std::size_t at) {
        return std::uint32_t(h[at]) | std::uint32_t(h[at + 1]) << 8 | std::uint32_t(h[at + 2]) << 16 |
               std::uint32_t(h[at + 3]) << 24;
    };
    constexpr std::size_t kFormat = 12;   // "fmt " straight after "RIFF", size, "WAVE"
    constexpr unsigned kIeeeFloat = 3;
    if (!is(0, "RIFF") || std::memcmp(&h[8], "WAVE", 4) != 0 || !is(kFormat, "fmt ") || le32(kFormat + 4) != 16 ||
        (h[kFormat + 8] | h[kFormat + 9] << 8) != kIeeeFloat)
        return;
    std::size_t pad = kFormat + 8 + 16;
    while (is(pad, "fact") || is(pad, "LIST"))
        pad += 8 + le32(pad + 4);
    if (!is(pad, "PAD ") || le32(pad + 4) < 2 || pad + 8 > h.size())
        return;
    const std::uint32_t padSize = le32(pad + 4) - 2;
    std::memmove(&h[kFormat + 8 + 18], &h[kFormat + 8 + 16], pad - (kFormat + 8 + 16));
    h[kFormat + 4] = 18;
    h[kFormat + 8 + 16] = h[kFormat + 8 + 17] = 0;   // no extension bytes follow
    const std::size_t newPad = pad + 2;
    std::memcpy(&h[newPad], "PAD ", 4);
    for (int i = 0; i < 4; ++i)
        h[newPad + 4 + std::size_t(i)] = static_cast<unsigned char>(padSize >> (8 * i));
    ::pwrite(fd, h.data(), newPad + 8, 0);
}

// libsndfile on a copy of `fd`, which it closes (also when it fails to open,
// whatever it is told), so that `fd` stays ours: for reading a header directly,
// and for flushing the file once libsndfile is done with it.
SNDFILE* OpenSndfile(int fd, int mode, SF_INFO* info)
{
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return nullptr;
    return sf_open_fd(copy, mode, info, SF_TRUE);
}

} // namespace

// ---- Input ----------------------------------------------------------------------

InputFile::InputFile(const std::string& path) : path_(path)
{
    const std::string name = path == "-" ? "'-' (standard input)" : Quoted(path);
    int fd = -1;
    if (path == "-") {
        if (::isatty(STDIN_FILENO) == 1)
            throw Failure("IN '-' reads standard input, which is a terminal: pipe a file in "
                          "(korvax render - OUT < in.wav)");
        fd = Spool(STDIN_FILENO, name);
    } else {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0)
            throw Failure("cannot open IN " + name + ": " + std::strerror(errno));
        if (S_ISDIR(status.st_mode))
            throw Failure("IN " + name + " is a directory, not an audio file");
        // A FIFO blocks here until its writer comes; a signal meanwhile restarts the open.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw Failure("cannot open IN " + name + ": " + std::strerror(errno));
        if (!S_ISREG(status.st_mode)) {
            try {
                const int spooled = Spool(fd, name);
                ::close(fd);
                fd = spooled;
            } catch (...) {
                ::close(fd);
                throw;
            }
        }
    }
    fd_ = fd;
    try {
        Open(name);
    } catch (...) {
        Close();
        throw;
    }
}

void InputFile::Open(const std::string& name)
{
    file_ = OpenSndfile(fd_, SFM_READ, &info_);
    if (file_ == nullptr) {
        const int error = sf_error(nullptr);
        const std::string reason = SndfileMessage(nullptr);
        if (const std::optional<double> rate = DeclaredSampleRate(fd_); rate && *rate < 1.0)
            throw Failure("IN " + name + " has a sample rate of 0 Hz");
        if (error == SF_ERR_UNRECOGNISED_FORMAT)
            throw Failure("IN " + name + " is not in an audio format korvax can read (" + reason + ")");
        if (error == SF_ERR_UNSUPPORTED_ENCODING)
            throw Failure("IN " + name + " uses an encoding korvax cannot read (" + reason + ")");
        throw Failure("IN " + name + " is damaged or unreadable (" + reason + ")");
    }
    if (info_.channels < 1 || info_.channels > 2)
        throw Failure("IN " + name + " has " + std::to_string(info_.channels) +
                      " channels; korvax renders mono and stereo files only");
    if (info_.samplerate <= 0)
        throw Failure("IN " + name + " has a sample rate of " + std::to_string(info_.samplerate) + " Hz");
}

void InputFile::Close() noexcept
{
    if (file_ != nullptr)
        sf_close(file_);
    file_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

InputFile::~InputFile()
{
    Close();
}

std::vector<std::pair<int, std::string>> InputFile::Tags() const
{
    std::vector<std::pair<int, std::string>> tags;
    for (const int type : kTagTypes)
        if (const char* text = sf_get_string(file_, type); text != nullptr && *text != '\0')
            tags.emplace_back(type, text);
    return tags;
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

int ContainerOf(const std::string& path)
{
    const std::string extension = Lower(fs::path(path).extension().string());
    if (path == "-" || extension.empty() || extension == ".wav" || extension == ".wave")
        return SF_FORMAT_WAV;
    if (extension == ".aif" || extension == ".aiff" || extension == ".aifc")
        return SF_FORMAT_AIFF;
    if (extension == ".flac")
        return SF_FORMAT_FLAC;
    return 0;
}

OutputFormat ChooseOutputFormat(const std::string& option, const std::string& outPath)
{
    const std::string word = Lower(option);
    const bool flacWord = word == "flac" || word == "flac24" || word == "flac16";
    // Standard output has no name to say its type: --format does.
    const int container = outPath == "-" && flacWord ? SF_FORMAT_FLAC : ContainerOf(outPath);
    if (container == 0)
        throw UsageError("render", "OUT " + Quoted(outPath) + ": korvax writes .wav, .aif/.aiff and .flac files, not '" +
                                       Lower(fs::path(outPath).extension().string()) + "'");

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
        throw UsageError("render", "--format " + word + " writes FLAC: give OUT the extension .flac");
    if (container == SF_FORMAT_FLAC && encoding == Encoding::kFloat32)
        throw UsageError("render",
                         "FLAC holds 16- or 24-bit samples only: use --format flac or flac16, or a .wav OUT for float");

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
    if (outPath == "-")
        return outPath;
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
    if (inPath == "-" || outPath == "-")
        return;
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
                       std::int64_t expectedFrames, const std::vector<std::pair<int, std::string>>& tags)
    : path_(path), toStandardOutput_(path == "-")
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
    const std::string name = toStandardOutput_ ? "'-' (standard output)" : Quoted(path);
    if (!sf_format_check(&info))
        throw Failure("OUT " + name + ": libsndfile cannot write " + format.text + " with " + std::to_string(channels) +
                      " channel(s) at " + std::to_string(sampleRate) + " Hz");

    if (toStandardOutput_) {
        if (::isatty(STDOUT_FILENO) == 1)
            throw Failure("OUT '-' writes standard output, which is a terminal: redirect it "
                          "(korvax render IN - > out.wav) or pipe it on");
        fd_ = NamelessTemporaryFile("output");
    } else {
        registration_ = std::make_unique<TemporaryFileRegistration>();
        fd_ = TemporaryFileBeside(path, temporaryPath_, "OUT", *registration_);
    }

    file_ = OpenSndfile(fd_, SFM_WRITE, &info);
    if (file_ == nullptr) {
        const std::string reason = SndfileMessage(nullptr);
        Discard();
        throw Failure("cannot write OUT " + name + ": " + reason);
    }
    // The PEAK chunk libsndfile adds to float files holds the time of writing.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    for (const auto& [tagType, text] : tags)
        sf_set_string(file_, tagType, text.c_str());   // formats without room for a tag refuse it quietly
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
    }
    registration_.reset();
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
    CompleteFloatFormatChunk(fd_);
    if (toStandardOutput_) {
        CopyToStandardOutput();
        committed_ = true;
        return;
    }
    const int fd = fd_;
    fd_ = -1;
    CommitTemporaryFile(fd, temporaryPath_, path_, "OUT");
    temporaryPath_.clear();
    registration_.reset();
    committed_ = true;
}

void OutputFile::CopyToStandardOutput()
{
    std::vector<char> buffer(1 << 20);
    ::lseek(fd_, 0, SEEK_SET);
    for (;;) {
        const ssize_t read = ::read(fd_, buffer.data(), buffer.size());
        if (read == 0)
            break;
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            throw Failure("cannot finish OUT '-' (standard output): " + std::string(std::strerror(errno)));
        if (!WriteAll(STDOUT_FILENO, buffer.data(), static_cast<std::size_t>(read)))
            throw Failure("cannot write OUT '-' (standard output): " + std::string(std::strerror(errno)));
    }
    ::close(fd_);
    fd_ = -1;
}

void WriteTextFile(const std::string& path, const std::string& text)
{
    if (path == "-") {
        if (!WriteAll(STDOUT_FILENO, text.data(), text.size()))
            throw Failure("cannot write to standard output: " + std::string(std::strerror(errno)));
        return;
    }
    ThrowIfInterrupted();
    std::string temporaryPath;
    TemporaryFileRegistration registration;
    const int fd = TemporaryFileBeside(path, temporaryPath, "file", registration);
    try {
        if (!WriteAll(fd, text.data(), text.size())) {
            const int error = errno;
            ::close(fd);
            throw Failure("cannot write file " + Quoted(path) + ": " + std::strerror(error));
        }
        CommitTemporaryFile(fd, temporaryPath, path, "file");
    } catch (...) {
        ::unlink(temporaryPath.c_str());
        throw;
    }
}

} // namespace korvax::cli
