#pragma once

#include <string>
#include <vector>

// Reads statistics packages with a conforming XML parser (Python's expat
// binding, run as a child process), so that the tests judge the documents the
// way a collector would rather than the way our own writer sees them.
namespace Zentak::Test {

struct ParsedParam {
    std::string name;
    std::string type;
    std::string value;
};

struct ParsedEvent {
    std::string name;
    std::vector<ParsedParam> params;

    // The value of the first parameter called `name`; empty when absent.
    std::string Value(const std::string& name) const;
};

struct ParsedPackage {
    bool wellFormed = false;
    // The parser's message when the document is not well-formed.
    std::string error;
    std::string rootName;
    std::string trackerAttribute;
    std::vector<ParsedEvent> events;
};

// Throws std::runtime_error when the parser cannot be run at all.
ParsedPackage ParsePackage(const std::string& document);

} // namespace Zentak::Test
