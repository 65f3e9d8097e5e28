#pragma once
// Loads the built machine library once per test program.

#include <gtest/gtest.h>

#include "host/reference_host.h"

namespace korvax::test {

inline host::Library& MachineLibrary()
{
    static std::shared_ptr<host::Library> library = [] {
        std::string error;
        auto loaded = host::Library::Open(host::Library::DefaultPath(), error);
        if (!loaded) {
            ADD_FAILURE() << error;
            std::abort();
        }
        return loaded;
    }();
    return *library;
}

// A machine created through the library and initialised, at `sampleRate`.
inline std::unique_ptr<host::Machine> NewMachine(std::int32_t sampleRate = 44100, bool initialise = true)
{
    std::string error;
    auto machine = host::Machine::Create(MachineLibrary(), sampleRate, error);
    EXPECT_TRUE(machine) << error;
    if (machine && initialise)
        machine->Initialise();
    return machine;
}

} // namespace korvax::test
