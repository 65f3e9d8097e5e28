// Times `korvax render` on a long stereo file, as a user runs it: the whole
// process, and inside it the machine's processing calls against the file reads
// and writes (from the tool's own summary). Not a test: run it by hand from a
// Release or RelWithDebInfo build.
//
//   render_bench [SECONDS] [RUNS]     defaults: 60 seconds of 48 kHz stereo, best of 3

#include <sndfile.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kSampleRate = 48000;

struct Timing {
    double wallSeconds = 1e30;      // the whole process, start-up included
    double totalSeconds = 1e30;     // the tool's render, from opening IN to OUT in place
    double machineSeconds = 0.0;
    double fileSeconds = 0.0;
};

// Seeded noise under a slow swell, at about -12 dBFS: enough to keep every
// compressor and the limiter working.
void WriteInput(const std::string& path, double seconds)
{
    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "render_bench: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        std::exit(1);
    }
    std::mt19937 engine(1);
    const std::int64_t frames = static_cast<std::int64_t>(seconds * kSampleRate);
    std::vector<float> chunk(2 * 4096);
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t n = std::min<std::int64_t>(4096, frames - done);
        for (std::int64_t i = 0; i < n; ++i) {
            const double t = double(done + i) / kSampleRate;
            const double swell = 0.25 * (0.6 + 0.4 * std::sin(2.0 * 3.141592653589793 * 0.25 * t));
            chunk[2 * i] = static_cast<float>(swell * (double(engine()) / 2147483648.0 - 1.0));
            chunk[2 * i + 1] = static_cast<float>(swell * (double(engine()) / 2147483648.0 - 1.0));
        }
        sf_writef_float(file, chunk.data(), n);
        done += n;
    }
    sf_close(file);
}

// Runs korvax once; returns its timings, or exits when it fails.
Timing RunOnce(const std::vector<std::string>& args, const std::string& summaryPath)
{
    std::vector<std::string> all = {KORVAX_TOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, summaryPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, KORVAX_TOOL_PATH, &actions, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "render_bench: korvax failed\n");
        std::exit(1);
    }
    Timing timing;
    timing.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);

    std::ifstream summary(summaryPath);
    for (std::string line; std::getline(summary, line);)
        if (line.rfind("Time ", 0) == 0)
            std::sscanf(line.c_str(), "Time %lf s: machine %lf s, file I/O %lf s", &timing.totalSeconds,
                        &timing.machineSeconds, &timing.fileSeconds);
    return timing;
}

Timing Best(const std::vector<std::string>& args, const std::string& summaryPath, int runs)
{
    Timing best;
    for (int i = 0; i < runs; ++i) {
        const Timing t = RunOnce(args, summaryPath);
        if (t.wallSeconds < best.wallSeconds)
            best = t;
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const fs::path folder = fs::temp_directory_path() / ("korvax-render-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string in = folder / "in.wav";
    const std::string summary = folder / "summary.txt";
    WriteInput(in, seconds);

    std::printf("korvax render, %.0f s of %d Hz stereo 32-bit float WAV, best of %d runs\n\n", seconds, kSampleRate,
                runs);
    std::printf("%-22s %9s %9s %9s %9s %10s %9s\n", "output", "wall s", "render s", "machine s", "file s",
                "real time", "I/O share");
    struct Case {
        const char* label;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"float WAV (default)", {"render", in, folder / "out.wav"}},
        {"24-bit WAV", {"render", in, folder / "out24.wav", "--format", "pcm24"}},
        {"24-bit FLAC", {"render", in, folder / "out.flac"}},
        {"bypass, float WAV", {"render", in, folder / "bypass.wav", "--set", "Solo mode=4"}},
    };
    for (const Case& c : cases) {
        const Timing t = Best(c.args, summary, runs);
        std::printf("%-22s %9.3f %9.3f %9.3f %9.3f %9.1fx %8.1f%%\n", c.label, t.wallSeconds, t.totalSeconds,
                    t.machineSeconds, t.fileSeconds, seconds / t.wallSeconds,
                    100.0 * t.fileSeconds / t.totalSeconds);
    }
    std::printf("\nreal time: audio seconds per wall second of the whole process. I/O share: time in\n"
                "libsndfile reads and writes over the tool's render time.\n");
    fs::remove_all(folder);
    return 0;
}
