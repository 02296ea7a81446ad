#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/dev_server.h"
#include "harness/event_checks.h"
#include "harness/installer_run.h"
#include "harness/process.h"
#include "support/loopback_socket.h"
#include "support/test_server.h"

// What every fault case checks after the program ended, whatever the fault:
// it ended by itself with an unattended exit code, no sanitizer spoke, the
// run directory and everything else it put in TMPDIR are gone, HOME holds
// only preferences and whole products, and every statistics event it
// tracked was either delivered or logged as unsent.
namespace Zentak::Faults {

// Adds --log-path=<logDir> so the glog files land outside TMPDIR and can be
// read after the run.
void UseLogDirectory(E2e::InstallerRun& run, const std::filesystem::path& logDir);

// Every glog file under `logDir` (INFO holds everything), concatenated.
std::string ReadLogs(const std::filesystem::path& logDir);

// No signal, no time-out, an unattended exit code (0, or 3 to 7), no
// sanitizer report.
::testing::AssertionResult EndedCleanly(const E2e::ProcessResult& result);

// TMPDIR holds nothing at all after the run.
::testing::AssertionResult TmpIsEmpty(const std::filesystem::path& tmp);

// HOME holds only Library/Preferences/*.plist, kept logs of failed runs
// (Library/Logs/Zentak Installer/*.log), the launch log of test
// products, products' parameters files (*.cfg) beside Applications and the folders of `products` in
// Applications, each one whole (its program present); nothing else, no staging folders.
::testing::AssertionResult HomeHoldsOnly(const std::filesystem::path& home,
                                         const std::vector<std::string>& products);

// Names of the events the log says were tracked, in order.
std::vector<std::string> TrackedEvents(const std::string& log);

// Names of the events inside the log's "not sent" blocks.
std::vector<std::string> UnsentEvents(const std::string& log);

// Each tracked event name occurs at least as often among `delivered` and the
// unsent ones together as it was tracked.
::testing::AssertionResult NothingLost(const std::string& log,
                                       const std::vector<std::string>& delivered);

// Every run directory the log names (wherever TMPDIR sent it) is gone.
::testing::AssertionResult RunDirectoriesGone(const std::string& log);

// Names of the events in statistics packages (XML bodies).
std::vector<std::string> EventsInPackages(const std::vector<std::string>& bodies);

bool Contains(const std::string& text, const std::string& part);

// How a checked run went.
struct Outcome {
    E2e::ProcessResult result;
    std::string log;
    std::vector<std::string> delivered; // event names the collector accepted
};

// The checks of RunAndCheck on a run made otherwise (empty paths skip the
// TMPDIR and HOME checks).
void CheckOutcome(const Outcome& outcome, const std::filesystem::path& tmp,
                  const std::filesystem::path& home, const std::vector<std::string>& products);

// Runs the program with its logs in `logDir`, then checks everything above
// (EndedCleanly, TmpIsEmpty, HomeHoldsOnly(products), NothingLost) as
// non-fatal test failures. `delivered` gives the event names the statistics
// endpoint accepted, read after the run.
Outcome RunAndCheck(E2e::InstallerRun run, const std::filesystem::path& logDir,
                    const std::vector<std::string>& products,
                    const std::function<std::vector<std::string>()>& delivered);

// Reads the program's output until a line starting with `prefix`; false
// after `limit`.
bool WaitForLine(E2e::BackgroundProcess& process, const std::string& prefix,
                 std::chrono::seconds limit = std::chrono::seconds(60));

// The pid of a running install script whose command line names `needle`, or
// -1 after `limit` (a limit of 0 looks once).
pid_t WaitForInstallScript(const std::string& needle, std::chrono::seconds limit);

// What the cases script their servers and read their runs with.
using E2e::Describe;
using E2e::EventNames;
using E2e::InOrder;
using E2e::LinesStartingWith;
using E2e::Named;
using Test::ClosedLoopbackPort;
using Test::Reply;
using Test::TestServer;
using Test::Times;

} // namespace Zentak::Faults
