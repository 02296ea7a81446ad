// The configuration parser's section handling on arbitrary text, with an
// observer that does nothing but count. A configuration the parser cannot
// read must end in an exception the download path catches (it then reports a
// configuration error), never in a crash; a readable one ends with exactly
// one OnConfigReady, after every other call.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.h"
#include "logic/config/config_parser.h"
#include "utils/settings.h"

namespace {

class CountingObserver : public Zentak::IConfigParserObserver {
public:
    void OnBuildNameParsed(const std::string&) override { Note(); }
    void OnModuleNameParsed(const std::string&) override { Note(); }
    void OnInstallerParsed(Zentak::InstallerItem&&) override { Note(); }
    void OnProductParametersParsed(Zentak::ProductParameters&&) override { Note(); }
    void OnSplashImageParsed(Zentak::ISplash::Page, std::string&&) override { Note(); }
    void OnRunInstalledParsed(Zentak::StartItem&&) override { Note(); }
    void OnStartParsed(Zentak::StartItem&&) override { Note(); }
    void OnAutostartParsed(bool) override { Note(); }
    void OnStatisticsParsed(const std::string&, const std::string&) override { Note(); }
    void OnConfigReady() override { ++ready; }
    void OnConfigError(const std::string&) override { ++errors; }

    int ready = 0;
    int errors = 0;
    int callsAfterReady = 0;

private:
    void Note()
    {
        if (ready > 0) {
            ++callsAfterReady;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Zentak::FuzzSupport::SilenceLogging();
    // A staging channel sends splash picture addresses through the rewrite
    // of "release"; without one that path is never taken.
    Zentak::Settings::Set(Zentak::Settings::ID::Staging, std::string("fuzz"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CountingObserver observer;
    try {
        Zentak::ConfigParser::ParseText(text, observer);
    } catch (const std::exception&) {
        // The download path catches exactly this and reports the error.
        FUZZ_CHECK(observer.ready == 0, "ready reported before the parser failed");
        return 0;
    }
    FUZZ_CHECK(observer.ready == 1, "OnConfigReady " + std::to_string(observer.ready) + " times");
    FUZZ_CHECK(observer.callsAfterReady == 0, "calls after OnConfigReady");
    FUZZ_CHECK(observer.errors == 0, "OnConfigError from the parser itself");
    return 0;
}
