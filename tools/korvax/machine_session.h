#pragma once
// The machine as the tool sees it: a library loaded through the reference host,
// its parameter table read from the machine's own description, the lookup of
// parameters by name (params/presets.h), and machines created, initialised and
// set up exactly as a host does.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace korvax::cli {

// Output trails input by this many sample pairs (half a crossover block minus one);
// nothing in the machine's description says so, so the tool knows it.
inline constexpr std::int64_t kLatencyPairs = 16383;
// File samples span ±1.0; the machine's full scale is ±32768. A power of two, so
// the scaling is exact both ways.
inline constexpr float kMachineFullScale = 32768.0f;
// "Solo mode" is parameter 5; its value 4 passes the input through untouched
// and undelayed.
inline constexpr int kSoloModeIndex = 5;
inline constexpr int kSoloBypass = 4;

struct ParameterInfo {
    int index = 0;               // position in the machine's table; -1 for the attribute
    int control = 0;             // the index, or the parameter count for the attribute
    bool isAttribute = false;    // "Stereo link", the one 32-bit attribute
    std::string name;            // display name exactly as declared ("Comp: Thr.low")
    std::string slug;            // lower case, runs of other characters as '-' ("comp-thr-low")
    std::string symbol;          // the LV2 port symbol: the slug with '_' ("comp_thr_low")
    std::string description;
    int minValue = 0;
    int maxValue = 0;
    int defaultValue = 0;        // as declared
    int startValue = 0;          // what the machine holds after initialisation
};

// One value for one control, from --set, --link or a preset, resolved and range-checked.
struct Setting {
    const ParameterInfo* parameter = nullptr;
    int value = 0;
    std::string asked;    // the value as typed when it was in units ("-18dB")
    bool named = false;   // by --set or --link, rather than by a preset
};

class MachineLibrary {
public:
    // Loads the library at `path` and reads its description. Throws Failure when
    // it does not load or does not describe the machine this tool drives.
    explicit MachineLibrary(const std::string& path);

    const std::string& Path() const { return library_->Path(); }
    const std::string& MachineName() const { return machineName_; }
    const MachineDescription& Description() const { return *library_->Info(); }
    // The seventeen parameters in index order, then the attribute.
    const std::vector<ParameterInfo>& Parameters() const { return parameters_; }

    // By index ("6"), display name in any letter case ("comp: thr.low"), slug
    // ("comp-thr-low") or LV2 symbol ("comp_thr_low"). Throws UsageError for
    // `command` naming the unknown parameter and the nearest names.
    const ParameterInfo& Find(const std::string& key, const std::string& command) const;
    // Parses "NAME=VALUE", the value as a step, in units or as a word; throws
    // UsageError for a malformed text, an unknown name or a value it refuses.
    Setting ParseSetting(const std::string& text) const;
    // The attribute set to 0 or 1 from on/off (also 1/0, true/false, yes/no).
    Setting LinkSetting(const std::string& onOff) const;
    // Every control at its start value ("start") or its declared default
    // ("defaults"), or what the preset file at `source` names. Throws Failure for
    // a file that cannot be read or names something wrong (with its line).
    std::vector<Setting> PresetSettings(const std::string& source) const;

    // Creates a machine at `sampleRate`, initialises it and applies `settings`
    // (later ones win). Parameters not named keep the machine's start values:
    // only the named bytes are written. Throws Failure when creation fails.
    std::unique_ptr<host::Machine> NewMachine(std::int32_t sampleRate, const std::vector<Setting>& settings) const;

    // The machine's own text for a parameter value ("-12.3 dB"), but the
    // frequency for the split controls ("252.8 Hz"), the words of "Solo mode"
    // ("all bands", "bypass") and of the attribute ("on", "off").
    // Safe to call from several threads (the machine formats into one buffer).
    static std::string DescribeValue(host::Machine& machine, const ParameterInfo& parameter, int value);
    // The machine's own text, also for "Solo mode" ("-", "LOW"); the link's word.
    static std::string MachineText(host::Machine& machine, const ParameterInfo& parameter, int value);

private:
    std::shared_ptr<host::Library> library_;
    std::string machineName_;
    std::vector<ParameterInfo> parameters_;
};

// True when the settings leave the machine in bypass, where nothing is delayed.
bool IsBypass(const std::vector<Setting>& settings);

// The value each control ends with: the start value, or the last setting of it.
std::vector<int> FinalValues(const std::vector<ParameterInfo>& parameters, const std::vector<Setting>& settings);

} // namespace korvax::cli
