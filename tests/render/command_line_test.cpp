// korvax's command line as a whole: one exit-status rule for every option,
// batches, signals, and files that survive a power cut.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "render/tool_runner.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { WriteAudio(In(), Noise(3000, 2, 71)); }
    std::string In() const { return dir / "in.wav"; }
    std::string Out() const { return dir / "out.wav"; }

    // The status, one line on stderr, and nothing new in the folder.
    void ExpectStatus(int status, const std::vector<std::string>& args, const RunOptions& options = {})
    {
        SCOPED_TRACE(::testing::PrintToString(args));
        const ToolResult result = RunKorvax(args, options);
        EXPECT_EQ(result.exitCode, status) << result.err;
        EXPECT_EQ(result.ErrLines(), 1) << result.err;
        EXPECT_EQ(dir.Others({"in.wav"}), std::vector<std::string>{});
    }

    ScratchFolder dir;
};

// 2 for a command line that cannot be used, option values included; 1 for
// what fails while running.
TEST_F(CommandLine, OneExitStatusRuleForEveryOption)
{
    const std::string in = In(), out = Out();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"render", in, out, "--set", "comp-thr-low"},
             {"render", in, out, "--set", "=40"},
             {"render", in, out, "--set", "nothing=40"},
             {"render", in, out, "--set", "comp-thr-low=129"},
             {"render", in, out, "--set", "comp-thr-low=200Hz"},
             {"render", in, out, "--set", "solo-mode=loud"},
             {"render", in, out, "--link", "sometimes"},
             {"render", in, out, "--block", "abc"},
             {"render", in, out, "--block", "0"},
             {"render", in, out, "--format", "float64"},
             {"render", in, out, "--format", "flac"},
             {"render", in, dir / "out.mp3"},
             {"render", in, out, "--jobs", "2"},
             {"render", in, "-o", dir.Path(), "--jobs", "none"},
             {"render", in, "-o", dir.Path(), "-j", "0"},
             {"render", in, out, "--preset"},
             {"render", in, out, "--raw=yes"},
             {"render", in, out, "--frobnicate"},
             {"render", in},
             {"render", in, out, "extra"},
             {"params", "--set", "input=3"},
             {"params", "no-such-parameter"},
             {"params", "one", "two"},
             {"demo", "--seed", "abc"},
             {"frobnicate"},
         })
        ExpectStatus(2, args);

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"render", dir / "missing.wav", out},
             {"render", in, out, "--preset", dir / "missing.preset"},
             {"render", in, out, "--machine", dir / "missing.so"},
             {"render", in, dir / "missing-folder/out.wav"},
             {"params", "--machine", dir / "missing.so"},
         })
        ExpectStatus(1, args);
}

TEST_F(CommandLine, HelpStatesTheExitStatusRule)
{
    const ToolResult help = RunKorvax({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* text : {"Exit status: 0", "2 when the command line cannot be used", "1 when something fails",
                             "128 + N", "shows a command's own\n"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    const ToolResult render = RunKorvax({"render", "--help"});
    EXPECT_NE(render.out.find("Exit status: 0 done; 2 unusable command line"), std::string::npos);
    EXPECT_NE(render.out.find("--dither"), std::string::npos);
}

// Every file but the bad one is written, each as a single render writes it;
// the bad one is listed at the end and the status is 1.
TEST_F(CommandLine, BatchWritesEveryGoodFileAndListsTheFailures)
{
    WriteAudio(dir / "a.wav", Noise(20000, 2, 73));
    WriteAudio(dir / "b.wav", Noise(20000, 1, 74));
    Audio flac = Noise(20000, 2, 75);
    flac.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    WriteAudio(dir / "c.flac", flac);
    std::ofstream(dir / "bad.wav") << "not audio";
    const std::string outs = dir / "outs";

    const ToolResult batch = RunKorvax({"render", dir / "a.wav", dir / "bad.wav", dir / "b.wav", dir / "c.flac",
                                        "-o", outs, "-j", "2", "--set", "comp-thr-low=-18dB"});
    EXPECT_EQ(batch.exitCode, 1);
    EXPECT_EQ(batch.ErrLines(), 1) << batch.err;
    EXPECT_NE(batch.err.find("bad.wav: IN"), std::string::npos) << batch.err;
    EXPECT_NE(batch.out.find("Total   4 files"), std::string::npos) << batch.out;
    EXPECT_NE(batch.out.find("1 failed"), std::string::npos) << batch.out;
    EXPECT_FALSE(Exists(outs + "/bad.wav"));
    for (const char* name : {"a.wav", "b.wav", "c.flac"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(RunKorvax({"render", dir / name, dir / ("single-" + std::string(name)), "--set", "6=36"}).exitCode, 0);
        EXPECT_EQ(ReadBytes(outs + "/" + name), ReadBytes(dir / ("single-" + std::string(name))));
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(outs))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left.size(), 3u) << "no temporary file stays";

    const ToolResult json = RunKorvax({"render", dir / "a.wav", dir / "b.wav", "-o", outs, "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"files\":[{\"in\":{\"path\":", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"total\":{\"files\":2,\"failed\":0"), std::string::npos) << json.out;
}

TEST_F(CommandLine, BatchNamesFollowTheFormat)
{
    std::ofstream(dir / "x.ogg") << "";
    const ToolResult same = RunKorvax({"render", dir / "x.wav", dir / "sub/x.wav", "-o", dir / "outs"});
    EXPECT_EQ(same.exitCode, 2);
    EXPECT_NE(same.err.find("would both be written to"), std::string::npos) << same.err;
    const ToolResult flac = RunKorvax({"render", In(), "-o", dir / "outs", "--format", "flac16", "--json"});
    ASSERT_EQ(flac.exitCode, 0) << flac.err;
    EXPECT_TRUE(Exists(dir / "outs/in.flac"));
    const ToolResult ogg = RunKorvax({"render", dir / "x.ogg", "-o", dir / "outs"});
    EXPECT_EQ(ogg.exitCode, 1);   // an empty file, but named for a .wav
    EXPECT_NE(ogg.out.find("x.ogg"), std::string::npos) << ogg.out;
}

// A long render, slow enough (one pair per call) to be caught while it writes.
class Signals : public CommandLine {
protected:
    void SetUp() override
    {
        Audio input = Noise(48000 * 20, 2, 77);
        input.sampleRate = 48000;
        WriteAudio(In(), input);
        std::ofstream(Out()) << "an earlier render";
    }

    // Starts the render and waits until its temporary output exists.
    pid_t StartWriting(const RunOptions& options = {})
    {
        const pid_t pid = StartKorvax({"render", In(), Out(), "--block", "1", "--quiet"}, options);
        EXPECT_GT(pid, 0);
        for (int wait = 0; wait < 2000 && dir.Others({"in.wav", "out.wav"}).empty(); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(dir.Others({"in.wav", "out.wav"}).empty()) << "no temporary output appeared";
        return pid;
    }

    void ExpectNothingChanged()
    {
        EXPECT_EQ(dir.Others({"in.wav", "out.wav"}), std::vector<std::string>{});
        EXPECT_EQ(ReadText(Out()), "an earlier render");
    }
};

// Under nohup a hang-up is not the user's Ctrl-C: the render goes on.
TEST_F(Signals, AnIgnoredHangUpStaysIgnored)
{
    WriteAudio(In(), Noise(48000 * 5, 2, 79));
    RunOptions nohup;
    nohup.ignoreHangUp = true;
    const pid_t pid = StartWriting(nohup);
    ::kill(pid, SIGHUP);
    EXPECT_EQ(WaitKorvax(pid), 0);
    EXPECT_EQ(ReadAudio(Out()).Frames(), 48000 * 5);
}

// Two signals before the render loop looks: the second removes the temporary
// file and ends the process by that signal itself.
TEST_F(Signals, ASecondSignalEndsTheProcessByItself)
{
    const pid_t pid = StartWriting();
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGINT);
    bool signalled = false;
    const int status = WaitKorvax(pid, &signalled);
    EXPECT_TRUE(signalled);
    EXPECT_TRUE(status == 128 + SIGINT || status == 128 + SIGTERM) << status;
    ExpectNothingChanged();
}

// A signal while opening a FIFO restarts the open instead of failing it; the
// render then stops as interrupted, not as a file that cannot be read.
TEST_F(Signals, ASignalDuringABlockingOpenIsAnInterrupt)
{
    const std::string fifo = dir / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = StartKorvax({"render", fifo, Out(), "--quiet"});
    // Until the kernel shows it waiting for a writer.
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int wait = 0; wait < 1000 && ReadText(wchan) != "wait_for_partner"; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(ReadText(wchan), "wait_for_partner");
    ::kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Without a reader this fails at once rather than waiting for one.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0) << "korvax no longer opens the FIFO: " << std::strerror(errno);
    // korvax may see the interrupt and close its end before this is written.
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    const std::vector<char> wav = ReadBytes(In());
    (void)!::write(writer, wav.data(), 4096);
    ::close(writer);
    ::signal(SIGPIPE, previous);
    EXPECT_EQ(WaitKorvax(pid), 128 + SIGINT);
    EXPECT_EQ(dir.Others({"in.wav", "out.wav", "in.fifo"}), std::vector<std::string>{});
}

TEST_F(Signals, InterruptingABatchLeavesNoPartialFile)
{
    WriteAudio(dir / "b.wav", Noise(48000 * 20, 2, 81));
    const std::string outs = dir / "outs";
    const pid_t pid = StartKorvax({"render", In(), dir / "b.wav", "-o", outs, "-j", "2", "--block", "1"});
    for (int wait = 0; wait < 2000; ++wait) {
        std::error_code error;
        if (std::filesystem::exists(outs, error) && !std::filesystem::is_empty(outs, error))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGINT);
    EXPECT_EQ(WaitKorvax(pid), 128 + SIGINT);
    EXPECT_TRUE(std::filesystem::is_empty(outs));
}

// After a power cut OUT must be the old file or the whole new one: the
// temporary file is flushed before it is renamed, and the folder after.
TEST_F(CommandLine, OutputIsFlushedBeforeAndAfterItsRename)
{
    if (!HaveProgram("strace") || std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace does not run here (scripts/deps.d/cli.txt)";
    RunOptions traced;
    // (LeakSanitizer cannot work under a tracer.)
    traced.wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-y", "-e",
                      "trace=fsync,rename,renameat,renameat2", "-o", dir / "trace.txt"};
    const ToolResult result = RunKorvax({"render", In(), Out(), "-q"}, traced);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string trace = ReadText(dir / "trace.txt");
    std::filesystem::remove(dir / "trace.txt");
    const std::string folder = std::filesystem::canonical(dir.Path()).string();
    // strace -y shows each descriptor with its path: fsync(3</dir/.out.wav.AbC123>) = 0.
    auto at = [&](const std::string& first, const std::string& second) {
        for (std::size_t line = 0; line < trace.size(); line = trace.find('\n', line) + 1) {
            const std::string text = trace.substr(line, trace.find('\n', line) - line);
            if (text.find(first) != std::string::npos && text.find(second) != std::string::npos &&
                text.find(") = 0") != std::string::npos)
                return line;
            if (trace.find('\n', line) == std::string::npos)
                break;
        }
        return std::string::npos;
    };
    const std::size_t fileSync = at("fsync(", "<" + folder + "/.out.wav.");
    const std::size_t rename = at("rename", folder + "/out.wav\"");
    const std::size_t folderSync = at("fsync(", "<" + folder + ">)");
    ASSERT_NE(fileSync, std::string::npos) << trace;
    ASSERT_NE(rename, std::string::npos) << trace;
    ASSERT_NE(folderSync, std::string::npos) << trace;
    EXPECT_LT(fileSync, rename) << trace;
    EXPECT_LT(rename, folderSync) << trace;
}

} // namespace
} // namespace korvax::test
