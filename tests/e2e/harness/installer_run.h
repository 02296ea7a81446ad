#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness/process.h"

namespace Zentak::E2e {

// One run of the built program as a user would start it.
struct InstallerRun {
    std::vector<std::string> args;
    std::filesystem::path home; // HOME: preferences, Applications
    std::filesystem::path tmp;  // TMPDIR: the run directory
    // Applied after HOME and TMPDIR, e.g. ZENTAK_UID_SERVICE_URL. DISPLAY is
    // removed unless set here.
    EnvironmentChanges env;
    std::chrono::seconds timeout{180};
};

// The program inside the built bundle.
std::filesystem::path InstallerProgram();

// Runs the program and waits for its end (bounded by run.timeout, after
// which it is killed). Throws std::runtime_error when it cannot start.
ProcessResult RunInstaller(const InstallerRun& run);

// Starts the program in the background with the environment RunInstaller
// gives it (run.timeout does not apply); its standard error goes to
// `stderrFile`. Throws std::runtime_error when it cannot start.
std::unique_ptr<BackgroundProcess> StartInstaller(const InstallerRun& run,
                                                  const std::filesystem::path& stderrFile);

// The text split at line feeds (a last line without one included).
std::vector<std::string> Lines(const std::string& text);

// The lines of the text that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix);

// Entries of `tmp` whose names start with the run directory's prefix.
std::vector<std::filesystem::path> RunDirectories(const std::filesystem::path& tmp);

} // namespace Zentak::E2e
