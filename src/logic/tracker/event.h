#pragma once

#include <chrono>
#include <list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// The statistics wire format: event fragments and the package document that
// carries them. Everything here is a pure function of its arguments, except
// StandardEventParams (settings, system queries, clock) and the UUID
// generator (system random source); all of it is safe from any thread.
namespace Zentak::Tracking {

// One event being built as its XML fragment.
class Event {
public:
    struct Param {
        std::string name;
        std::string value;
        // "text" or "numeric"
        std::string type = "text";
    };

    explicit Event(std::string_view name);

    // Appends one parameter line; name, type and value are escaped.
    void AddParam(Param&& param);

    // The complete fragment, closing line included.
    std::string Fragment() const;

    // The run id: generated once when the program is loaded and carried by
    // every event of this run.
    static const std::string m_sid;

private:
    std::ostringstream m_stream;
};

// What one event knows about its place in the chain of tracked events.
struct EventChain {
    std::string uniqueId;
    // Empty for the first event of a run.
    std::string previousName;
    std::string previousId;
};

// The text made fit to stand inside a double-quoted XML 1.0 attribute and to
// come back unchanged from a conforming parser: &, <, >, " and ' become their
// entities; tab, line feed and carriage return become the character
// references &#9; &#10; &#13; (a parser would turn them into spaces); what no
// XML document may hold (the other control characters below 0x20, U+FFFE,
// U+FFFF and every ill-formed UTF-8 sequence, one per maximal subpart)
// becomes U+FFFD; every other byte is kept as it is.
std::string XmlEscape(std::string_view text);

// The fragment of one event: tab-indented lines, each ending in a line feed.
std::string BuildEventFragment(std::string_view name, const std::vector<Event::Param>& params);

// The package document wrapping `fragments`, oldest first.
std::string BuildPackage(const std::list<std::string>& fragments);

// The parameters every event carries, in wire order, read now from the
// settings, the system and the clock.
std::vector<Event::Param> StandardEventParams(const EventChain& chain);

// "%Y-%m-%dT%H:%M:%S" in local time.
std::string FormatLocalTime(std::chrono::system_clock::time_point time);

// A random (version 4) UUID: 36 lowercase characters, hyphens after bytes
// 3, 5, 7 and 9.
std::string GenerateUUIDv4String();

} // namespace Zentak::Tracking
