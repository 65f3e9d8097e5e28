#include "tools/korvax/batch.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <sched.h>

#include "tools/korvax/audio_files.h"
#include "tools/korvax/failure.h"
#include "tools/korvax/interrupt.h"
#include "tools/korvax/summary.h"

namespace korvax::cli {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::string BatchOutputPath(const std::string& inPath, const std::string& folder, const std::string& formatWord)
{
    fs::path name = fs::path(inPath).filename();
    const std::string word = Lower(formatWord);
    const int container = ContainerOf(name.string());
    if (word == "flac" || word == "flac24" || word == "flac16") {
        if (container != SF_FORMAT_FLAC)
            name.replace_extension(".flac");
    } else if (container == 0 || (container == SF_FORMAT_FLAC && (word == "float" || word == "float32"))) {
        name.replace_extension(".wav");
    }
    return (fs::path(folder) / name).string();
}

void CheckBatch(const BatchRequest& request)
{
    std::map<std::string, std::string> outputs;   // output name -> the input it came from
    for (const std::string& in : request.inputs) {
        if (in == "-")
            throw UsageError("render", "a batch (-o DIR) renders files; for standard input use 'korvax render - OUT'");
        const std::string out = BatchOutputPath(in, request.folder, request.common.format);
        const auto [at, fresh] = outputs.emplace(out, in);
        if (!fresh)
            throw UsageError("render", "'" + at->second + "' and '" + in + "' would both be written to '" + out + "'");
    }
}

int AvailableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

int RenderBatch(const MachineLibrary& library, const BatchRequest& request)
{
    const auto start = std::chrono::steady_clock::now();
    std::error_code error;
    if (!fs::is_directory(request.folder, error) && !fs::create_directories(request.folder, error) && error)
        throw Failure("cannot make folder '" + request.folder + "': " + error.message());

    std::vector<BatchItem> items(request.inputs.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i].inPath = request.inputs[i];
        items[i].outPath = BatchOutputPath(request.inputs[i], request.folder, request.common.format);
    }

    std::atomic<std::size_t> next{0};
    std::mutex printing;
    auto work = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= items.size() || PendingSignal() != 0)
                return;
            BatchItem& item = items[i];
            RenderRequest file = request.common;
            file.inPath = item.inPath;
            file.outPath = item.outPath;
            file.progress = false;
            try {
                item.report = Render(library, file);
                item.done = true;
            } catch (const Interrupted&) {
                item.error = "interrupted";
                return;
            } catch (const std::exception& e) {
                item.error = e.what();
            }
            if (!request.quiet && !request.json) {
                const std::lock_guard<std::mutex> lock(printing);
                PrintBatchLine(stdout, item);
                std::fflush(stdout);
            }
        }
    };
    const int jobs = std::max(1, std::min<int>(request.jobs, static_cast<int>(items.size())));
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j)
        threads.emplace_back(work);
    work();
    for (std::thread& t : threads)
        t.join();

    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (const int signal = PendingSignal()) {
        int written = 0;
        for (const BatchItem& item : items)
            written += item.done ? 1 : 0;
        std::fprintf(stderr, "korvax: interrupted; %d of %zu files written, no partial file left\n", written,
                     items.size());
        std::fflush(stderr);
        EndBySignal(signal);
    }

    int failed = 0;
    double audioSeconds = 0.0;
    for (const BatchItem& item : items) {
        if (item.done)
            audioSeconds += double(item.report.inFrames) / item.report.sampleRate;
        else
            ++failed;
    }
    if (request.json) {
        std::printf("%s\n", BatchJson(items, wall, jobs).c_str());
    } else if (!request.quiet) {
        std::printf("Total   %zu files, %.1f s of audio in %.2f s (%.1fx real time), %d at a time; %d failed\n",
                    items.size(), audioSeconds, wall, wall > 0.0 ? audioSeconds / wall : 0.0, jobs, failed);
    }
    std::fflush(stdout);
    for (const BatchItem& item : items)
        if (!item.done)
            std::fprintf(stderr, "korvax: %s: %s\n", item.inPath.c_str(), item.error.c_str());
    return failed > 0 ? 1 : 0;
}

} // namespace korvax::cli
