// The disk-image report parser and the distribution name taken from it. The
// report is another program's output; whatever it holds, the records must be
// usable and the name must be a file name, never a path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "utils/platform/system_info.h"

using Zentak::FuzzSupport::Printable;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string report(reinterpret_cast<const char*>(data), size);
    const Zentak::Util::VolumeRecords records = Zentak::Util::ParseVolumesInfo(report);
    for (const auto& record : records) {
        for (const auto& [key, value] : record) {
            FUZZ_CHECK(!key.empty(), "empty key");
            FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos,
                       "a record field spans lines: " + Printable(key) + " = " + Printable(value));
            FUZZ_CHECK(report.find(key) != std::string::npos || key == "mount-point",
                       "key not in the report: " + Printable(key));
        }
    }
    const std::string name = Zentak::Util::DistribNameFromVolumes(records);
    FUZZ_CHECK(name.find('/') == std::string::npos, "distribution name with a slash: " + Printable(name));
    const Zentak::Util::PreferredBrowserInfo browser = Zentak::Util::BrowserFromDistribName(name);
    FUZZ_CHECK(browser.tag.empty() == browser.name.empty(), "browser without a tag or name");
    FUZZ_CHECK(browser.tag.empty() || name.find(browser.tag) != std::string::npos,
               "browser tag not in the name");
    return 0;
}
