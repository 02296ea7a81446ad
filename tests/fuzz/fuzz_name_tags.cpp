// The readers of tags in the distribution's file name and the URL helpers
// they feed: the name is whatever the user's browser saved the download as.
#include <cstddef>
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "utils/ini_reader.h"

namespace {

using Zentak::FuzzSupport::Printable;

size_t Count(const std::string& text, const std::string& pattern)
{
    size_t count = 0;
    for (size_t pos = text.find(pattern); pos != std::string::npos;
         pos = text.find(pattern, pos + pattern.size())) {
        ++count;
    }
    return count;
}

void CheckTag(const std::string& name, const std::string& tag)
{
    const std::string value = Zentak::Util::GetTaggedValueFromName(name, tag);
    const std::string detail = "name \"" + Printable(name) + "\", tag \"" + Printable(tag) +
                               "\", value \"" + Printable(value) + "\"";
    FUZZ_CHECK(value.find('_') == std::string::npos, detail);
    if (!value.empty()) {
        // The value stands right after the first occurrence of the tag.
        FUZZ_CHECK(name.compare(name.find(tag), tag.size() + value.size() + 1, tag + value + "_") == 0,
                   detail);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string name = input.ConsumeRandomLengthString(256);
    const std::string tag = input.ConsumeRandomLengthString(16);
    const std::string url = input.ConsumeRandomLengthString(256);
    const std::string key = input.ConsumeRandomLengthString(32);
    const std::string value = input.ConsumeRandomLengthString(64);

    CheckTag(name, tag);
    CheckTag(name, Zentak::Util::GetStagingTag());
    CheckTag(name, Zentak::Util::GetSitemarkTag());

    // The staging value comes from the name; every "release" of the URL
    // becomes "staging/<value>" and nothing else changes length. A "$" in
    // the value is a format escape of the regular-expression replace, by
    // design, so only the absence of a crash is asked for then.
    const std::string staging = Zentak::Util::GetTaggedValueFromName(name, Zentak::Util::GetStagingTag());
    const std::string staged = Zentak::Util::AppendStagingValue(url, staging);
    if (staging.empty()) {
        FUZZ_CHECK(staged == url, "changed without a staging value");
    } else if (staging.find('$') == std::string::npos) {
        const size_t releases = Count(url, "release");
        FUZZ_CHECK(staged.size() == url.size() + releases * (staging.size() + 1),
                   "url \"" + Printable(url) + "\" staged as \"" + Printable(staged) + "\"");
    }
    const std::string staged2 = Zentak::Util::AppendStagingValue(url, value);
    FUZZ_CHECK(!value.empty() || staged2 == url, "changed without a staging value");

    const std::string withQuery = Zentak::Util::AddUrlQueryParameter(url, key, value);
    const std::string plain = url + (url.find('?') == std::string::npos ? "?" : "&") + key + "=" + value;
    const std::string placeholder = "-" + key + "-";
    const std::string detail = "url \"" + Printable(url) + "\", key \"" + Printable(key) +
                               "\", value \"" + Printable(value) + "\" gave \"" + Printable(withQuery) + "\"";
    // Only the URL as given is a template: a placeholder spelled by the
    // appended key or value stays as it is.
    if (url.find(placeholder) == std::string::npos) {
        FUZZ_CHECK(withQuery == plain, detail);
    } else {
        FUZZ_CHECK(withQuery.size() == plain.size() - placeholder.size() + value.size(), detail);
    }
    return 0;
}
