#pragma once
// Many files at once: `korvax render IN... -o DIR -j N`. Each file gets its
// own machine and is written to DIR under its own name; N files render at a
// time, one per thread. A file that fails is listed and the others go on;
// an interrupt lets the files being written unwind (no partial file stays).

#include <string>
#include <vector>

#include "tools/korvax/render.h"

namespace korvax::cli {

struct BatchRequest {
    std::vector<std::string> inputs;
    std::string folder;
    int jobs = 1;
    RenderRequest common;   // settings, block, format, raw, dither; paths are set per file
    bool quiet = false;
    bool json = false;
};

// Where IN goes in `folder`: its own name, with the extension of the format
// asked for where IN's own cannot hold it (.flac for --format flac or flac16,
// .wav for float from FLAC and for names korvax does not write).
std::string BatchOutputPath(const std::string& inPath, const std::string& folder, const std::string& formatWord);

// Checks the command line's part of a batch: no '-' among the inputs, no two
// inputs with one output name. Throws UsageError.
void CheckBatch(const BatchRequest& request);

// The processors this process may run on.
int AvailableProcessors();

// Renders every file; returns the exit status (0, or 1 when any file failed).
// Ends the process by the signal when interrupted.
int RenderBatch(const MachineLibrary& library, const BatchRequest& request);

} // namespace korvax::cli
