#pragma once
// The one way the tool reports a problem: a Failure carries a single line that
// main() prints after "korvax: " on stderr before exiting with a non-zero status.

#include <stdexcept>
#include <string>

namespace korvax::cli {

// Bad input, an unreadable or unwritable file, a machine that will not load.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line the tool cannot make sense of; main() adds a pointer to the
// help of `command` (empty: the top level).
class UsageError : public Failure {
public:
    UsageError(const std::string& commandName, const std::string& message) : Failure(message), command(commandName)
    {
    }
    std::string command;
};

// SIGINT, SIGTERM or SIGHUP arrived while rendering; everything is cleaned up
// by the time this reaches main(), which then ends the process by that signal.
class Interrupted : public Failure {
public:
    explicit Interrupted(int signal) : Failure("interrupted"), signalNumber(signal) {}
    int signalNumber;
};

} // namespace korvax::cli
