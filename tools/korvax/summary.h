#pragma once
// What a render reports: the summary a person reads, one line per file of a
// batch, and the same figures as JSON for scripts.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/korvax/render.h"

namespace korvax::cli {

void PrintSummary(std::FILE* stream, const RenderReport& report);

// One file of a batch: its report, or the one-line reason it failed.
struct BatchItem {
    std::string inPath;
    std::string outPath;
    bool done = false;
    RenderReport report;
    std::string error;
};

// "ok   song.wav -> out/song.wav  -14.2 -> -7.1 LUFS, true peak +1.5 dBTP, 3.1 s"
void PrintBatchLine(std::FILE* stream, const BatchItem& item);

// One JSON object: a render's whole summary.
std::string SummaryJson(const RenderReport& report);
// One JSON object for a batch: every file (its summary, or its error) and the total.
std::string BatchJson(const std::vector<BatchItem>& items, double wallSeconds, int jobs);

} // namespace korvax::cli
