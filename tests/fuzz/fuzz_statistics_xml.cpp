// The statistics package writer: whatever names, types and values events
// carry, the package must be a well-formed XML document that gives every text
// back unchanged when it is XML text, and a sanitised form (U+FFFD in place
// of what XML cannot hold, the rest in order) when it is not. A package a
// collector rejects loses every event in it.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#ifdef ZENTAK_FUZZ_WITH_EXPAT
#include <expat.h>
#endif

#include "fuzz_support.h"
#include "logic/tracker/event.h"
#include "strict_xml.h"

namespace {

using Zentak::FuzzSupport::IsXmlText;
using Zentak::FuzzSupport::Printable;
using Zentak::FuzzSupport::XmlElement;
using Zentak::Tracking::Event;

const std::string kReplacement = "\xEF\xBF\xBD";

struct InputEvent {
    std::string name;
    std::vector<Event::Param> params;
};

// Removes every U+FFFD.
std::string WithoutReplacements(const std::string& text)
{
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t found = text.find(kReplacement, pos);
        out.append(text, pos, found == std::string::npos ? std::string::npos : found - pos);
        if (found == std::string::npos) {
            return out;
        }
        pos = found + kReplacement.size();
    }
}

// True when `part` can be obtained from `whole` by deleting bytes.
bool IsSubsequence(const std::string& part, const std::string& whole)
{
    size_t i = 0;
    for (size_t j = 0; i < part.size() && j < whole.size(); ++j) {
        if (part[i] == whole[j]) {
            ++i;
        }
    }
    return i == part.size();
}

// What the reader must give back for `written`.
void CheckText(const std::string& written, const std::string& read, const char* what)
{
    const std::string detail =
        std::string(what) + ": wrote \"" + Printable(written) + "\", read \"" + Printable(read) + "\"";
    if (IsXmlText(written)) {
        FUZZ_CHECK(read == written, detail);
        return;
    }
    // Not XML text: the writer may only have put U+FFFD in place of what
    // cannot stand; nothing else is lost, added or moved.
    FUZZ_CHECK(read != written, detail);
    FUZZ_CHECK(read.find(kReplacement) != std::string::npos, detail);
    FUZZ_CHECK(IsSubsequence(WithoutReplacements(read), written), detail);
    FUZZ_CHECK(read.size() <= 3 * written.size(), detail);
    // The sanitised text is XML text, so it goes through unchanged.
    FUZZ_CHECK(IsXmlText(read), detail);
    FUZZ_CHECK(Zentak::Tracking::XmlEscape(read) == Zentak::Tracking::XmlEscape(written), detail);
}

const std::string* Attribute(const XmlElement& element, const char* name)
{
    for (const auto& [key, value] : element.attributes) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

void CheckPackage(const std::vector<InputEvent>& events, const XmlElement& root,
                  const std::string& document)
{
    const std::string detail = "package:\n" + Printable(document);
    FUZZ_CHECK(root.name == "package", detail);
    FUZZ_CHECK(root.attributes.size() == 1 && root.attributes[0].first == "tracker" &&
                   root.attributes[0].second == "1.0.0.0",
               detail);
    FUZZ_CHECK(root.children.size() == events.size(), detail);
    for (size_t e = 0; e < events.size(); ++e) {
        const XmlElement& event = root.children[e];
        FUZZ_CHECK(event.name == "event" && event.attributes.size() == 1, detail);
        const std::string* name = Attribute(event, "name");
        FUZZ_CHECK(name != nullptr, detail);
        CheckText(events[e].name, *name, "event name");
        FUZZ_CHECK(event.children.size() == events[e].params.size(), detail);
        for (size_t p = 0; p < events[e].params.size(); ++p) {
            const XmlElement& param = event.children[p];
            FUZZ_CHECK(param.name == "param" && param.children.empty(), detail);
            FUZZ_CHECK(param.attributes.size() == 3, detail);
            FUZZ_CHECK(param.attributes[0].first == "name" && param.attributes[1].first == "type" &&
                           param.attributes[2].first == "value",
                       detail);
            CheckText(events[e].params[p].name, param.attributes[0].second, "parameter name");
            CheckText(events[e].params[p].type, param.attributes[1].second, "parameter type");
            CheckText(events[e].params[p].value, param.attributes[2].second, "parameter value");
        }
    }
}

#ifdef ZENTAK_FUZZ_WITH_EXPAT
// A second opinion from a conforming parser: the same document must be
// well-formed for expat too, with the same attributes in the same order.
struct ExpatResult {
    std::vector<std::vector<std::pair<std::string, std::string>>> elements;
};

void StartElement(void* data, const XML_Char*, const XML_Char** attributes)
{
    auto* result = static_cast<ExpatResult*>(data);
    result->elements.emplace_back();
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        result->elements.back().emplace_back(attributes[i], attributes[i + 1]);
    }
}

void Flatten(const XmlElement& element,
             std::vector<std::vector<std::pair<std::string, std::string>>>& out)
{
    out.push_back(element.attributes);
    for (const XmlElement& child : element.children) {
        Flatten(child, out);
    }
}

void CheckWithExpat(const std::string& document, const XmlElement& root)
{
    XML_Parser parser = XML_ParserCreate(nullptr);
    FUZZ_CHECK(parser != nullptr, "expat parser");
    ExpatResult result;
    XML_SetUserData(parser, &result);
    XML_SetStartElementHandler(parser, StartElement);
    const XML_Status status =
        XML_Parse(parser, document.data(), static_cast<int>(document.size()), XML_TRUE);
    const XML_LChar* message = status == XML_STATUS_OK ? nullptr : XML_ErrorString(XML_GetErrorCode(parser));
    const std::string error = message != nullptr ? message : "";
    XML_ParserFree(parser);
    FUZZ_CHECK(status == XML_STATUS_OK, "expat: " + error + "\n" + Printable(document));
    std::vector<std::vector<std::pair<std::string, std::string>>> ours;
    Flatten(root, ours);
    FUZZ_CHECK(result.elements == ours, "expat reads other attributes:\n" + Printable(document));
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<InputEvent> events(input.ConsumeIntegralInRange<size_t>(1, 3));
    for (InputEvent& event : events) {
        event.name = input.ConsumeRandomLengthString(64);
        const size_t count = input.ConsumeIntegralInRange<size_t>(0, 6);
        for (size_t i = 0; i < count; ++i) {
            Event::Param param;
            param.name = input.ConsumeRandomLengthString(32);
            param.value = input.ConsumeRandomLengthString(256);
            // The program itself only writes these two types; any other text
            // must still not break the document.
            switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                break;
            case 1:
                param.type = "numeric";
                break;
            default:
                param.type = input.ConsumeRandomLengthString(16);
            }
            event.params.push_back(std::move(param));
        }
    }

    std::list<std::string> fragments;
    for (const InputEvent& event : events) {
        fragments.push_back(Zentak::Tracking::BuildEventFragment(event.name, event.params));
    }
    const std::string document = Zentak::Tracking::BuildPackage(fragments);

    XmlElement root;
    std::string error;
    FUZZ_CHECK(Zentak::FuzzSupport::ParseStrictXml(document, root, error),
               error + "\n" + Printable(document));
    CheckPackage(events, root, document);
#ifdef ZENTAK_FUZZ_WITH_EXPAT
    CheckWithExpat(document, root);
#endif
    return 0;
}
