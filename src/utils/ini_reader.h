#pragma once

#include <istream>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

namespace Zentak::Util {

// Reads INI text into a two-level tree: sections (in file order, repeated
// names kept) holding their keys. Throws
// boost::property_tree::ini_parser::ini_parser_error with the line number on
// a syntax error; `tree` is replaced only when reading succeeds.
void ReadIni(std::istream& stream, boost::property_tree::ptree& tree);

// Markers carried by the distribution's file name.
const char* GetStagingTag();  // "_STG"
const char* GetSitemarkTag(); // "_W"

// The text between `tag` and the next "_" in the distribution name; empty
// when the tag or the closing underscore is missing.
std::string GetTaggedValueFromFilename(const std::string& tag);
// Same rule on a given name (the distribution name is one such name).
std::string GetTaggedValueFromName(const std::string& name, const std::string& tag);

// Every "release" of the URL becomes "staging/<staging>"; unchanged when the
// staging value is empty.
std::string AppendStagingValue(const std::string& url, const std::string& staging);

using UrlParameters = std::vector<std::pair<std::string, std::string>>;

// Appends each parameter in order ("?key=value", then "&key=value"; "&" from
// the first when the template has a query already) and fills the first
// "-key-" placeholder of `templateUrl` for each. Only the template is
// searched: a value that happens to hold "-key-" is never taken for a
// placeholder. Neither keys nor values are encoded.
std::string BuildUrl(const std::string& templateUrl, const UrlParameters& parameters);

// BuildUrl with one parameter.
std::string AddUrlQueryParameter(const std::string& url, const std::string& key,
                                 const std::string& value);

} // namespace Zentak::Util
