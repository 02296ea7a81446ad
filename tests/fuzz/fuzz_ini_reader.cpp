// The INI reader on arbitrary text: it either throws its syntax error, leaving
// the caller's tree as it was, or gives a tree whose shape the configuration
// parser can rely on.
#include <cstddef>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "fuzz_support.h"
#include "utils/ini_reader.h"

namespace {

namespace pt = boost::property_tree;
using Zentak::FuzzSupport::Printable;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsTrimmed(const std::string& text)
{
    return text.empty() || (!IsSpace(text.front()) && !IsSpace(text.back()));
}

void CheckKeys(const pt::ptree& node, const char* where)
{
    std::set<std::string> seen;
    for (const auto& [key, leaf] : node) {
        const std::string detail = std::string(where) + " key \"" + Printable(key) + "\"";
        FUZZ_CHECK(!key.empty() && IsTrimmed(key), detail);
        FUZZ_CHECK(key.find('=') == std::string::npos, detail);
        FUZZ_CHECK(key.front() != ';' && key.front() != '#' && key.front() != '[', detail);
        FUZZ_CHECK(leaf.empty() && IsTrimmed(leaf.data()), detail);
        FUZZ_CHECK(seen.insert(key).second, "repeated " + detail);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    pt::ptree tree;
    tree.put("before", "kept");
    try {
        Zentak::Util::ReadIni(stream, tree);
    } catch (const pt::ini_parser::ini_parser_error& error) {
        FUZZ_CHECK(error.line() >= 1, error.what());
        FUZZ_CHECK(tree.size() == 1 && tree.get<std::string>("before", "") == "kept",
                   "a failed read changed the tree");
        return 0;
    }

    // Keys before the first section are leaves of the root; sections are
    // never empty (empty ones are dropped), so a child with children is a
    // section. Section names may repeat and be empty, keys may not.
    pt::ptree rootKeys;
    for (const auto& [name, node] : tree) {
        if (node.empty()) {
            rootKeys.push_back(pt::ptree::value_type(name, node));
            continue;
        }
        FUZZ_CHECK(IsTrimmed(name), "section name \"" + Printable(name) + "\"");
        FUZZ_CHECK(node.data().empty(), "section \"" + Printable(name) + "\" holds a value");
        CheckKeys(node, "section");
    }
    CheckKeys(rootKeys, "root");
    return 0;
}
