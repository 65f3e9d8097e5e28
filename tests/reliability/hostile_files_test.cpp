// The renderer against files made to hurt it: empty, cut short, corrupt, with
// absurd header sizes, or in formats it does not render. Each must end with one
// error line on stderr, a non-zero exit (not a signal), and no output file nor a
// temporary one left behind. The files are made here, byte by byte.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "render/tool_runner.h"

namespace korvax::test {
namespace {

namespace fs = std::filesystem;

// ---- Files ------------------------------------------------------------------------

class Bytes {
public:
    Bytes& Text(const std::string& text)
    {
        data_.insert(data_.end(), text.begin(), text.end());
        return *this;
    }
    Bytes& U16(std::uint16_t v)
    {
        data_.push_back(char(v & 0xFF));
        data_.push_back(char(v >> 8));
        return *this;
    }
    Bytes& U32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            data_.push_back(char((v >> (8 * i)) & 0xFF));
        return *this;
    }
    Bytes& Zeros(std::size_t n)
    {
        data_.insert(data_.end(), n, '\0');
        return *this;
    }
    Bytes& Append(const Bytes& other)
    {
        data_.insert(data_.end(), other.data_.begin(), other.data_.end());
        return *this;
    }
    Bytes Cut(std::size_t n) const
    {
        Bytes b;
        b.data_.assign(data_.begin(), data_.begin() + std::min(n, data_.size()));
        return b;
    }
    std::size_t Size() const { return data_.size(); }
    const std::vector<char>& Data() const { return data_; }

private:
    std::vector<char> data_;
};

struct Fmt {
    std::uint16_t tag = 3;   // IEEE float
    std::uint16_t channels = 2;
    std::uint32_t rate = 44100;
    std::uint16_t bits = 32;
    std::uint16_t blockAlign = 8;
    std::uint32_t chunkSize = 16;
};

Bytes FmtChunk(const Fmt& f)
{
    Bytes b;
    b.Text("fmt ").U32(f.chunkSize).U16(f.tag).U16(f.channels).U32(f.rate).U32(f.rate * f.blockAlign);
    return b.U16(f.blockAlign).U16(f.bits);
}

// A WAV file: RIFF header, the given chunks, a data chunk declaring `declared`
// bytes and holding `present` bytes of silence.
Bytes Wav(const Fmt& f, std::uint32_t declared, std::uint32_t present, const Bytes& before = {})
{
    Bytes body;
    body.Text("WAVE").Append(before).Append(FmtChunk(f)).Text("data").U32(declared).Zeros(present);
    Bytes file;
    return file.Text("RIFF").U32(std::uint32_t(body.Size())).Append(body);
}

Bytes GoodWav(std::uint32_t frames = 1000)
{
    return Wav(Fmt{}, frames * 8, frames * 8);
}

struct Hostile {
    const char* name;
    Bytes bytes;
};

std::vector<Hostile> HostileFileSet()
{
    std::vector<Hostile> files;
    const Bytes good = GoodWav();
    files.push_back({"empty.wav", Bytes()});
    files.push_back({"riff-only.wav", Bytes().Text("RIFF")});
    files.push_back({"cut-in-header.wav", good.Cut(30)});
    files.push_back({"cut-before-data.wav", good.Cut(36)});
    files.push_back({"no-fmt.wav", Bytes().Text("RIFF").U32(12).Text("WAVE").Text("data").U32(0)});
    files.push_back({"not-wave.wav", Bytes().Text("RIFF").U32(100).Text("AVI LIST").U32(88).Zeros(88)});
    files.push_back({"text.wav", Bytes().Text("This is not audio, only a file named like it.\n")});
    files.push_back({"random.wav", [] {
                         Bytes b;
                         std::uint32_t x = 12345;
                         for (int i = 0; i < 4096; ++i) {
                             x = x * 1664525u + 1013904223u;
                             b.U16(std::uint16_t(x >> 16));
                         }
                         return b;
                     }()});
    Fmt f;
    f.channels = 0;
    files.push_back({"zero-channels.wav", Wav(f, 800, 800)});
    f = Fmt{};
    f.channels = 6;
    f.blockAlign = 24;
    files.push_back({"six-channels.wav", Wav(f, 2400, 2400)});
    f = Fmt{};
    f.channels = 65535;
    f.blockAlign = 65532;
    files.push_back({"huge-channel-count.wav", Wav(f, 65532, 65532)});
    f = Fmt{};
    f.rate = 0;
    files.push_back({"zero-rate.wav", Wav(f, 800, 800)});
    f = Fmt{};
    f.rate = 0xFFFFFFFFu;
    files.push_back({"negative-rate.wav", Wav(f, 800, 800)});
    f = Fmt{};
    f.chunkSize = 0xFFFFFFF0u;
    files.push_back({"huge-fmt-chunk.wav", Wav(f, 800, 800)});
    files.push_back(
        {"huge-chunk-before-fmt.wav", Wav(Fmt{}, 800, 800, Bytes().Text("junk").U32(0x7FFFFFF0u).Zeros(16))});
    f = Fmt{};
    f.tag = 0x7777;
    files.push_back({"unknown-codec.wav", Wav(f, 800, 800)});
    f = Fmt{};
    f.tag = 1;
    f.bits = 0;
    files.push_back({"zero-bits.wav", Wav(f, 800, 800)});
    files.push_back({"fake.flac", Bytes().Text("fLaC").U32(0xFFFFFFFFu).Text("not a stream info block")});
    files.push_back({"cut.aiff", Bytes().Text("FORM").U32(0x7FFFFFF0u).Text("AIFFCOMM").U32(18).U16(2)});
    return files;
}

void Write(const fs::path& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.Data().data(), std::streamsize(bytes.Size()));
}

// ---- Running the tool -------------------------------------------------------------

ToolResult RunRender(const fs::path& in, const fs::path& out)
{
    return RunKorvax({"render", in.string(), out.string(), "--quiet"});
}

// Ended by exit(), not by a signal or the time limit.
bool Exited(const ToolResult& result)
{
    return result.exitCode >= 0 && result.exitCode < 128;
}

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("korvax-hostile-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "in");
        fs::create_directories(root_ / "out");
    }
    void TearDown() override { fs::remove_all(root_); }

    std::vector<std::string> OutFolder() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root_ / "out"))
            names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path root_;
};

TEST_F(HostileFiles, AGoodFileRenders)
{
    const fs::path in = root_ / "in" / "good.wav";
    Write(in, GoodWav(30000));
    const ToolResult outcome = RunRender(in, root_ / "out" / "good.wav");
    ASSERT_TRUE(outcome.exitCode == 0) << outcome.exitCode << ": " << outcome.err;
    EXPECT_TRUE(fs::exists(root_ / "out" / "good.wav"));
}

TEST_F(HostileFiles, EachIsRefusedWithOneLineAndNoOutput)
{
    for (const Hostile& file : HostileFileSet()) {
        SCOPED_TRACE(file.name);
        const fs::path in = root_ / "in" / file.name;
        Write(in, file.bytes);
        const ToolResult outcome = RunRender(in, root_ / "out" / "out.wav");
        EXPECT_TRUE(Exited(outcome)) << "ended by signal or time limit: " << outcome.exitCode << " " << outcome.err;
        EXPECT_NE(outcome.exitCode, 0);
        EXPECT_EQ(outcome.ErrLines(), 1) << outcome.err;
        EXPECT_EQ(outcome.err.rfind("korvax: ", 0), 0u) << outcome.err;
        EXPECT_TRUE(OutFolder().empty()) << "left behind: " << OutFolder().front();
        for (const std::string& name : OutFolder())
            fs::remove(root_ / "out" / name);
    }
}

TEST_F(HostileFiles, MissingInputAndFolderInputAreRefused)
{
    for (const fs::path& in : {root_ / "in" / "missing.wav", root_ / "in"}) {
        SCOPED_TRACE(in.string());
        const ToolResult outcome = RunRender(in, root_ / "out" / "out.wav");
        EXPECT_TRUE(Exited(outcome) && outcome.exitCode != 0) << outcome.exitCode;
        EXPECT_EQ(outcome.ErrLines(), 1) << outcome.err;
        EXPECT_TRUE(OutFolder().empty());
    }
}

// Damage a reader may make good: a data chunk that claims more than the file
// holds (a recording cut short) and a block size that the channels and the
// sample width fix anyway. Rendering what is there and refusing are both fine;
// crashing or leaving a partial file is not.
TEST_F(HostileFiles, RepairableDamageEndsCleanly)
{
    Fmt zeroBlockAlign;
    zeroBlockAlign.tag = 1;
    zeroBlockAlign.bits = 16;
    zeroBlockAlign.blockAlign = 0;
    const std::vector<Hostile> files = {{"cut-data.wav", Wav(Fmt{}, 0x7FFFFF00u, 8000)},
                                        {"zero-block-align.wav", Wav(zeroBlockAlign, 800, 800)}};
    for (const Hostile& file : files) {
        SCOPED_TRACE(file.name);
        const fs::path in = root_ / "in" / file.name;
        Write(in, file.bytes);
        const ToolResult outcome = RunRender(in, root_ / "out" / "out.wav");
        ASSERT_TRUE(Exited(outcome)) << outcome.exitCode << " " << outcome.err;
        if (outcome.exitCode == 0) {
            EXPECT_EQ(OutFolder(), std::vector<std::string>{"out.wav"});
        } else {
            EXPECT_EQ(outcome.ErrLines(), 1) << outcome.err;
            EXPECT_TRUE(OutFolder().empty());
        }
        for (const std::string& name : OutFolder())
            fs::remove(root_ / "out" / name);
    }
}

} // namespace
} // namespace korvax::test
