#include "harness/event_checks.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "logic/tracker/events.h"

namespace Zentak::E2e {
namespace {

const std::regex kUuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
const std::regex kServiceId("[0-9a-f]{32}");

bool IsDecimal(const std::string& text)
{
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool Catalogued(const std::string& name)
{
    return std::find(Events::kAll.begin(), Events::kAll.end(), name) != Events::kAll.end();
}

// A name asked for that no part of the installer sends would make a check
// for its absence pass whatever the run did.
void ExpectCatalogued(const std::string& name)
{
    EXPECT_TRUE(Catalogued(name)) << "\"" << name << "\" is no event of the catalogue";
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
    static const std::vector<std::string> names(EventParam::kCommon.begin(),
                                                EventParam::kCommon.end());
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
        const auto product = event.Param(EventParam::kProductName);
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
              : want == "<id>"       ? std::regex_match(value, kServiceId)
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
    ExpectCatalogued(name);
    std::vector<CollectedEvent> found;
    for (const CollectedEvent& event : events) {
        if (event.name == name && (product.empty() || event.Param(EventParam::kProductName) == product)) {
            found.push_back(event);
        }
    }
    return found;
}

int IndexOf(const std::vector<CollectedEvent>& events, const std::string& name,
            const std::string& product)
{
    ExpectCatalogued(name);
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].name == name &&
            (product.empty() || events[i].Param(EventParam::kProductName) == product)) {
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

::testing::AssertionResult ChainIsComplete(const std::vector<CollectedEvent>& events)
{
    std::map<std::string, const CollectedEvent*> byId;
    std::set<std::string> sids;
    for (const CollectedEvent& event : events) {
        if (!Catalogued(event.name)) {
            return ::testing::AssertionFailure() << "\"" << event.name << "\" is no event of the catalogue";
        }
        const std::string id = event.Param(EventParam::kUniqueId).value_or("");
        if (!std::regex_match(id, kUuid)) {
            return ::testing::AssertionFailure() << event.name << " has UNIQUE_ID \"" << id << "\"";
        }
        if (!byId.emplace(id, &event).second) {
            return ::testing::AssertionFailure() << "UNIQUE_ID " << id << " sent twice";
        }
        sids.insert(event.Param(EventParam::kSid).value_or(""));
    }
    if (sids.size() != 1 || !std::regex_match(*sids.begin(), kUuid)) {
        return ::testing::AssertionFailure() << "events carry " << sids.size() << " run ids";
    }
    int firsts = 0;
    std::set<std::string> predecessors;
    for (const CollectedEvent& event : events) {
        const std::string previousId = event.Param(EventParam::kPreviousUniqueId).value_or("?");
        const std::string previousName = event.Param(EventParam::kPreviousEvent).value_or("?");
        if (previousId.empty()) {
            ++firsts;
            if (!previousName.empty()) {
                return ::testing::AssertionFailure() << "first event " << event.name
                                                     << " names a previous event " << previousName;
            }
            continue;
        }
        const auto previous = byId.find(previousId);
        if (previous == byId.end()) {
            return ::testing::AssertionFailure()
                   << "the event before " << event.name << " (" << previousName << ", "
                   << previousId << ") never arrived";
        }
        if (previous->second->name != previousName) {
            return ::testing::AssertionFailure()
                   << event.name << " names " << previousName << " as previous event, but "
                   << previousId << " is " << previous->second->name;
        }
        if (!predecessors.insert(previousId).second) {
            return ::testing::AssertionFailure() << previousName << " precedes two events";
        }
    }
    if (firsts != 1) {
        return ::testing::AssertionFailure() << firsts << " events claim to be the first";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ProgressOnlyRises(const std::string& out)
{
    std::istringstream lines(out);
    int last = -1;
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Progress: ", 0) != 0) {
            continue;
        }
        const int percent = std::stoi(line.substr(10));
        if (percent <= last) {
            return ::testing::AssertionFailure() << "progress went from " << last << " % to "
                                                 << percent << " %:\n" << out;
        }
        last = percent;
        ++count;
    }
    if (count == 0) {
        return ::testing::AssertionFailure() << "no progress shown:\n" << out;
    }
    return ::testing::AssertionSuccess();
}

} // namespace Zentak::E2e
