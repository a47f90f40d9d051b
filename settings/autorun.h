#pragma once

#include <optional>
#include <string>

#include "settings/registry.h"

inline constexpr char kAutoRunWriteError[] =
    "ERROR: Failed to implement autorun component using the registry.";
inline constexpr char kAutoRunRemoveError[] =
    "ERROR: Failed to remove autorun component from the registry";

// The Run value for the executable at exePath: the path, in double quotes when it holds a space,
// then " RunHidden".
std::string AutoRunCommand(const std::string& exePath);

// Registers (enabled) or removes the start with Windows. Registration goes to the machine-wide Run
// key when it can be written and to the user's own Run key otherwise; removal clears both. Returns
// the message to show, or nullopt when there is nothing to report.
std::optional<std::string> RegisterAutoRun(Registry& registry, bool enabled,
                                           const std::string& command);

// True when the command line holds "RunHidden" anywhere (case-sensitive).
bool HasRunHiddenSwitch(const std::string& commandLine);
