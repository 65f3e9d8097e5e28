#include "render/tool_runner.h"

#include <cmath>

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace korvax::test {
namespace {

namespace fs = std::filesystem;

pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
            const RunOptions& options)
{
    std::vector<std::string> all = options.wrapper;
    all.push_back(KORVAX_TOOL_PATH);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // An ignored signal stays ignored across exec: so nohup works.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved {};
    if (options.ignoreHangUp)
        sigaction(SIGHUP, &ignore, &saved);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    if (options.ignoreHangUp)
        sigaction(SIGHUP, &saved, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << "cannot start " << all[0];
    return error == 0 ? pid : -1;
}

} // namespace

int ToolResult::ErrLines() const
{
    int lines = 0;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        if (end == std::string::npos)
            end = err.size();
        if (end > start)
            ++lines;
        start = end + 1;
    }
    return lines;
}

ToolResult RunKorvax(const std::vector<std::string>& args, const RunOptions& options)
{
    const std::string base = fs::temp_directory_path() / ("korvax-run-" + std::to_string(::getpid()));
    ToolResult result;
    const pid_t pid = Spawn(args, base + ".out", base + ".err", options);
    if (pid < 0)
        return result;
    result.exitCode = WaitKorvax(pid);
    result.out = ReadText(base + ".out");
    result.err = ReadText(base + ".err");
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return result;
}

pid_t StartKorvax(const std::vector<std::string>& args, const RunOptions& options)
{
    return Spawn(args, "/dev/null", "/dev/null", options);
}

int WaitKorvax(pid_t pid, bool* signalled)
{
    // A hung tool is killed rather than left to stall the whole test run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "korvax did not finish within 120 s";
            ::kill(pid, SIGKILL);
            done = ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (done != pid)
        return -1;
    if (signalled != nullptr)
        *signalled = WIFSIGNALED(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

Audio Silence(std::int64_t frames, int channels)
{
    Audio audio;
    audio.channels = channels;
    audio.samples.assign(static_cast<std::size_t>(frames * channels), 0.0f);
    return audio;
}

Audio Noise(std::int64_t frames, int channels, std::uint32_t seed, float amplitude)
{
    Audio audio;
    audio.channels = channels;
    audio.samples = RandomFloats(static_cast<std::size_t>(frames * channels), seed, -amplitude, amplitude);
    return audio;
}

Audio Sine(std::int64_t frames, int channels, int sampleRate, double hz, double peak, double phase,
           std::int64_t fadeFrames)
{
    constexpr double kPi = 3.14159265358979323846;
    Audio audio;
    audio.channels = channels;
    audio.sampleRate = sampleRate;
    for (std::int64_t i = 0; i < frames; ++i) {
        const std::int64_t edge = std::min(i, frames - 1 - i);
        const double fade = edge < fadeFrames ? 0.5 - 0.5 * std::cos(kPi * double(edge) / double(fadeFrames)) : 1.0;
        const float x = static_cast<float>(fade * peak * std::sin(2.0 * kPi * hz * double(i) / sampleRate + phase));
        for (int c = 0; c < channels; ++c)
            audio.samples.push_back(x);
    }
    return audio;
}

std::vector<float> Audio::Channel(int channel) const
{
    std::vector<float> values;
    for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size(); i += static_cast<std::size_t>(channels))
        values.push_back(samples[i]);
    return values;
}

void WriteAudio(const std::string& path, const Audio& audio)
{
    SF_INFO info{};
    info.samplerate = audio.sampleRate;
    info.channels = audio.channels;
    info.format = audio.format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    // Integer formats: no clipping surprises from libsndfile's float scaling.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    EXPECT_EQ(sf_writef_float(file, audio.samples.data(), audio.Frames()), audio.Frames());
    sf_close(file);
}

Audio ReadAudio(const std::string& path)
{
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        audio.channels = 0;
        return audio;
    }
    audio.sampleRate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, audio.samples.data(), info.frames);
    sf_close(file);
    return audio;
}

std::vector<int> ReadIntegers(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return {};
    std::vector<int> values(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_int(file, values.data(), info.frames);
    sf_close(file);
    return values;
}

std::vector<char> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool HaveProgram(const std::string& program)
{
    return std::system((program + " --version >/dev/null 2>&1").c_str()) == 0;
}

bool Exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

ScratchFolder::ScratchFolder()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "render";
    path_ = fs::temp_directory_path() / ("korvax-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code error;
    fs::remove_all(path_, error);
}

std::vector<std::string> ScratchFolder::Others(const std::vector<std::string>& keep) const
{
    std::vector<std::string> others;
    for (const fs::directory_entry& entry : fs::directory_iterator(path_)) {
        const std::string name = entry.path().filename().string();
        if (std::find(keep.begin(), keep.end(), name) == keep.end())
            others.push_back(name);
    }
    return others;
}

} // namespace korvax::test
