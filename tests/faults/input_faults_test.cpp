// Hostile input: configurations that are huge, hold NUL bytes or invalid
// UTF-8, repeat package ids or name paths through their ids and file names,
// and hostile command-line values. No crash, no file outside the run
// directory, the preferences folder and the product's own folder.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;

struct InputCase {
    std::string name;
    // The configuration text, given the scenario (its package "app" is made).
    std::function<std::string(E2e::Scenario&)> config;
    // Extra command-line values.
    std::vector<std::string> args;
    // 0 or 3; -1 when either is right (the case only asks for survival).
    int exitCode;
    bool installs;
    // Lines of standard output that must be there.
    std::vector<std::string> output;
    // Texts the log must hold.
    std::vector<std::string> logged;
};

std::ostream& operator<<(std::ostream& out, const InputCase& test)
{
    return out << test.name;
}

std::string Normal(E2e::Scenario& scenario, const std::string& extra = {})
{
    return scenario.Config({{"app", 1, "Input App", "", ""}}, extra);
}

std::vector<InputCase> Cases()
{
    std::vector<InputCase> cases;
    cases.push_back({"TenThousandSections",
                     [](E2e::Scenario& scenario) {
                         std::string extra;
                         for (int i = 0; i < 10000; ++i) {
                             extra += "[Section" + std::to_string(i) + "]\nkey = value " +
                                      std::to_string(i) + "\n";
                         }
                         return Normal(scenario, extra);
                     },
                     {},
                     0,
                     true,
                     {},
                     {}});
    // Each installer section costs the program a size query and a download
    // attempt; 10,000 of them take minutes (they survive, see the
    // reliability notes), so the suite runs a thousand. Sections without a
    // URL fail the download batch, so nothing is installed.
    cases.push_back({"ThousandInstallerSectionsWithoutUrls",
                     [](E2e::Scenario& scenario) {
                         std::string extra;
                         for (int i = 0; i < 1000; ++i) {
                             extra += "[Installer]\nid = empty" + std::to_string(i) +
                                      "\ninstall_order = 5\n";
                         }
                         return Normal(scenario, extra);
                     },
                     {},
                     5,
                     false,
                     {"Dialog: Something went wrong", "Page: Cancel"},
                     {}});
    // Four values of 200 KiB: the configuration stays under its 1 MiB bound
    // (larger ones are refused, see hostile_server_test).
    cases.push_back({"LargeValues",
                     [](E2e::Scenario& scenario) {
                         const std::string big(200 * 1024, 'V');
                         return scenario.Config({{"app", 1, big, "", ""}},
                                                "[ProductParameters]\nid = app\nconfig_file_name = "
                                                "app.cfg\nchannel = " +
                                                    big + "\n[Extra]\n" + big + " = " + big + "\n");
                     },
                     {},
                     0,
                     true,
                     {},
                     {}});
    // NUL bytes inside a value, a section name and a key: read as any
    // other byte.
    cases.push_back({"NulBytesInNamesAndValues",
                     [](E2e::Scenario& scenario) {
                         std::string text = Normal(scenario);
                         const std::string nul(1, '\0');
                         text.insert(text.find("display_name = ") + 15, "In" + nul + "put");
                         return text + "[Extra" + nul + "Section]\nk" + nul + "ey = v" + nul +
                                "alue\n";
                     },
                     {},
                     0,
                     true,
                     {},
                     {}});
    // A line of NUL bytes is a line without "=": the configuration is
    // refused like any unreadable one (the no-connection dialog).
    cases.push_back(
        {"LineOfNulBytes",
         [](E2e::Scenario& scenario) { return Normal(scenario) + std::string(2, '\0') + "\n"; },
         {},
         4,
         false,
         {"Dialog: You need to be connected to the Internet"},
         {}});
    cases.push_back({"InvalidUtf8",
                     [](E2e::Scenario& scenario) {
                         return scenario.Config(
                             {{"app", 1, "Input \xff\xfe\xc3\x28 App \xed\xa0\x80", "", ""}},
                             "[Extra]\nkey\xc0\xaf = \xf8\x88\x80\x80\x80\n");
                     },
                     {},
                     0,
                     true,
                     {},
                     {}});
    // The second section of an id is ignored: the first one installs and
    // the run ends.
    cases.push_back({"DuplicatePackageIds",
                     [](E2e::Scenario& scenario) {
                         return scenario.Config({{"app", 1, "Input App", "", ""},
                                                 {"app", 2, "Input App Again", "", ""}});
                     },
                     {},
                     0,
                     true,
                     {},
                     {"Installer section with id \"app\""}});
    // Ids and file names that walk out of their folders: the product locale
    // plist, the parameters file and the package files must stay inside.
    cases.push_back(
        {"IdsAndFileNamesWithPathParts",
         [](E2e::Scenario& scenario) {
             const std::string escapeId = "../../../escaped-id";
             const fs::path outside = scenario.home.parent_path();
             return scenario.Config(
                 {{escapeId, 1, "Input App", scenario.PackageUrl("app"), escapeId}},
                 "[ProductParameters]\nid = " + escapeId +
                     "\nconfig_file_name = ../../escaped.cfg\nchannel = x\n"
                     "[ProductParameters]\nid = " +
                     escapeId +
                     "\nconfig_file_name = " + (outside / "absolute-escaped.cfg").string() +
                     "\nchannel = y\n"
                     "[ProductParameters]\nid = " +
                     escapeId +
                     "\nconfig_file_name = ..\nchannel = z\n"
                     "[Mac_Environment]\nbundle_name = ../../escaped-bundle\n");
         },
         {},
         0,
         true,
         {},
         {"Refusing to write the locale for bundleId \"../../../escaped-id\"",
          "Product configuration file name \"../../escaped.cfg\" of ../../../escaped-id "
          "refused",
          "Product configuration file name \"..\" of ../../../escaped-id refused"}});
    auto hostileArgs = [&](std::string name, std::vector<std::string> args) {
        cases.push_back({std::move(name),
                         [](E2e::Scenario& scenario) { return Normal(scenario); },
                         std::move(args),
                         0,
                         true,
                         {},
                         {}});
    };
    hostileArgs("DistribNameWithPathParts", {"--distrib-name=../../../x_W../../../y_ch/../../z_"});
    hostileArgs("DistribNameHuge", {"--distrib-name=" + std::string(50000, 'd') + "_W" +
                                    std::string(50000, 'w') + "_"});
    hostileArgs("DistribNameControlCharacters",
                {std::string("--distrib-name=a\nb\rc\x01\x1b[2J_Wid\"'<>&_")});
    hostileArgs("HostileNamesAndFlags",
                {"--build-name=" + std::string(50000, 'b') + "</param>", "--module-name=\"><x/>",
                 "--debug=maybe", "--unknown-option=1", "--", "-", "--distrib-name="});
    return cases;
}

class InputFaults : public ::testing::TestWithParam<InputCase> {};

TEST_P(InputFaults, NoCrashNothingOutside)
{
    const InputCase& test = GetParam();
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"InputApp", 16 * 1024, 0, ""});
    E2e::InstallerRun run = scenario.Run(scenario.Publish(test.config(scenario)));
    run.args.insert(run.args.end(), test.args.begin(), test.args.end());
    run.timeout = std::chrono::seconds(150);
    const fs::path outside = scenario.home.parent_path();
    UseLogDirectory(run, outside / "logs");
    Outcome outcome;
    outcome.result = E2e::RunInstaller(run);
    outcome.log = ReadLogs(outside / "logs");
    outcome.delivered = EventNames(scenario.Events());
    // A whole product may be there (HomeHoldsOnly checks it is whole).
    const bool installed = fs::exists(scenario.InstalledProgram("InputApp"));
    CheckOutcome(outcome, run.tmp, run.home,
                 installed ? std::vector<std::string>{"InputApp"} : std::vector<std::string>{});
    if (test.exitCode >= 0) {
        EXPECT_EQ(outcome.result.exitCode, test.exitCode) << outcome.result.Describe() << "\n"
                                                          << outcome.result.out.substr(0, 4000);
    }
    for (const std::string& line : test.output) {
        EXPECT_FALSE(LinesStartingWith(outcome.result.out, line).empty()) << line;
    }
    for (const std::string& text : test.logged) {
        EXPECT_TRUE(Contains(outcome.log, text)) << text;
    }
    if (test.installs) {
        EXPECT_TRUE(installed) << outcome.result.out.substr(0, 4000);
    }
    // Nothing new beside HOME, TMPDIR, the logs and the server's folders,
    // nor one level up.
    for (const auto& entry : fs::directory_iterator(outside)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "home" || name == "tmp" || name == "logs" || name == "content" ||
                    name == "state")
            << "written outside: " << entry.path();
    }
    for (const char* name :
         {"escaped.cfg", "escaped-id", "escaped-bundle.plist", "absolute-escaped.cfg"}) {
        EXPECT_FALSE(fs::exists(outside.parent_path() / name)) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, InputFaults, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace Zentak::Faults
