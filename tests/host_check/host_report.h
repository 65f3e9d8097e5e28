#pragma once
// The host check's report: drives a loaded machine library the way a host does,
// through the reference host, and prints digests of everything the machine hands
// back: the description, the value texts, and the output audio of several
// settings and of a sweep of every parameter value. Every build of the library
// (64-bit and 32-bit Linux, the Windows DLLs) must print the same lines from
// the same inputs, so comparing reports proves layout, calling convention and
// numbers at once. The host check program and the PE loader both print it.

#include <cstdio>

#include "host/reference_host.h"

namespace korvax::host_check {

struct ReportOptions {
    // Also print every value text, to find where two builds part.
    bool printTexts = false;
    // Called right before and right after each call the report makes into the
    // machine library (null: nothing), for a host that makes those calls in a
    // floating-point state other than its own.
    void (*enterMachine)() = nullptr;
    void (*leaveMachine)() = nullptr;
};

// Writes the report to `out` and diagnostics to stderr; returns the number of
// failed checks (0 when every call behaved).
int WriteReport(const host::Library& library, const ReportOptions& options, std::FILE* out);

} // namespace korvax::host_check
