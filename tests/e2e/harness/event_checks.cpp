#include "harness/event_checks.h"

#include <algorithm>
#include <cctype>

namespace Zentak::E2e {
namespace {

bool IsDecimal(const std::string& text)
{
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string DescribeParams(const Params& params)
{
    std::string text;
    for (const auto& [name, value] : params) {
        text += " " + name + "=\"" + value + "\"";
    }
    return text;
}

} // namespace

const std::vector<std::string>& CommonParamNames()
{
    static const std::vector<std::string> names = {
        "BUILD_NAME", "BUNDLE_ID",  "MODULE_NAME", "VERSION",   "PRODUCT_VERSION",
        "DATE_TIME",  "HUID",       "SITEMARK",    "LANGUAGE",  "OS_BITS",
        "OS_EDITION", "OS_NAME",    "OS_VERSION",  "SID",       "UNIQUE_ID",
        "PREVIOUS_EVENT", "PREVIOUS_UNIQUE_ID", "BUNDLE_NAME", "BUNDLE_VERSION"};
    return names;
}

Params CallerParams(const CollectedEvent& event)
{
    const size_t common = CommonParamNames().size();
    if (event.params.size() < common) {
        return {};
    }
    return Params(event.params.begin() + static_cast<std::ptrdiff_t>(common), event.params.end());
}

std::string Join(const std::vector<std::string>& items, const std::string& separator)
{
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

std::string Describe(const std::vector<CollectedEvent>& events)
{
    std::vector<std::string> names;
    for (const CollectedEvent& event : events) {
        const auto product = event.Param("PRODUCT_NAME");
        names.push_back(product ? event.name + "(" + *product + ")" : event.name);
    }
    return Join(names);
}

::testing::AssertionResult InOrder(const std::vector<std::string>& names,
                                   const std::vector<std::string>& wanted)
{
    auto at = names.begin();
    for (const std::string& name : wanted) {
        at = std::find(at, names.end(), name);
        if (at == names.end()) {
            return ::testing::AssertionFailure()
                   << "\"" << name << "\" missing or out of order in: " << Join(names);
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ParamsMatch(const Params& actual, const Params& pattern)
{
    bool ok = actual.size() == pattern.size();
    for (size_t i = 0; ok && i < actual.size(); ++i) {
        const std::string& value = actual[i].second;
        const std::string& want = pattern[i].second;
        ok = actual[i].first == pattern[i].first &&
             (want == "<decimal>"    ? IsDecimal(value)
              : want == "<positive>" ? IsDecimal(value) && std::stoull(value) >= 1
              : want == "<nonempty>" ? !value.empty()
                                     : value == want);
    }
    if (ok) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "parameters" << DescribeParams(actual) << ", expected"
                                         << DescribeParams(pattern);
}

std::vector<CollectedEvent> Named(const std::vector<CollectedEvent>& events,
                                  const std::string& name, const std::string& product)
{
    std::vector<CollectedEvent> found;
    for (const CollectedEvent& event : events) {
        if (event.name == name && (product.empty() || event.Param("PRODUCT_NAME") == product)) {
            found.push_back(event);
        }
    }
    return found;
}

int IndexOf(const std::vector<CollectedEvent>& events, const std::string& name,
            const std::string& product)
{
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].name == name &&
            (product.empty() || events[i].Param("PRODUCT_NAME") == product)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

unsigned long long Number(const CollectedEvent& event, const std::string& param)
{
    const std::string value = event.Param(param).value_or("");
    if (!IsDecimal(value)) {
        ADD_FAILURE() << event.name << " " << param << " = \"" << value << "\" is not decimal";
        return 0;
    }
    return std::stoull(value);
}

} // namespace Zentak::E2e
