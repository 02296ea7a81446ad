#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A strict reader for documents shaped like the statistics packages: an XML
// declaration, then elements with attributes and nothing but white space
// between them. Within that shape it applies the XML 1.0 rules a conforming
// parser applies: well-formed UTF-8 of XML characters only, no raw "<" or "&"
// in attribute values, only the five predefined entities, character
// references to XML characters only, unique attribute names, matching end
// tags, and the normalisation of attribute values (a raw tab, line feed or
// carriage return reads as a space, CR LF as one). It refuses comments,
// processing instructions, DTDs and text content, which the packages never
// hold, rather than reading them.
namespace Zentak::FuzzSupport {

struct XmlElement {
    std::string name;
    // In document order, values as a parser reports them.
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<XmlElement> children;
};

// True and `root` filled when the document is well-formed; false with the
// reason in `error` otherwise.
bool ParseStrictXml(std::string_view document, XmlElement& root, std::string& error);

// True when `text` is well-formed UTF-8 made of XML 1.0 characters only
// (tab, line feed, carriage return, U+0020 to U+D7FF, U+E000 to U+FFFD,
// U+10000 to U+10FFFF).
bool IsXmlText(std::string_view text);

} // namespace Zentak::FuzzSupport
