#pragma once

// The text tables behind Translater: how the per-locale text files compiled
// into the program are read. Used by Translater and by the tests that check
// the files themselves.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "localization/translater.h"

namespace Zentak {

using TextMap = std::map<TranslaterText, std::string>;
// Locale keys compare byte-wise, which fixes the order of GetLocales.
using TextTable = std::map<std::string, TextMap>;

// One locale's text file as the build embedded it, byte for byte.
struct EmbeddedTextFile {
    const char* locale;
    const unsigned char* data;
    std::size_t size;

    std::string_view Text() const
    {
        return {reinterpret_cast<const char*>(data), size};
    }
};

// Defined by the source the build generates from texts/*.txt.
extern const EmbeddedTextFile kEmbeddedTextFiles[];
extern const std::size_t kEmbeddedTextFileCount;

// The name a text file uses for `key` ("AcceptEula"); empty for None and for
// values outside the enumeration.
std::string_view TranslaterTextName(TranslaterText key);

// Reads one text file: lines "Name = text", '#' comments and blank lines; in a
// text "\n" is a line break and "\\" a backslash. A leading UTF-8 byte-order
// mark and CR line ends are tolerated. A line with no "=", an unknown name,
// a repeated name or an unknown escape is skipped and described, with its line
// number, in `errors` (when given).
TextMap ParseTextFile(std::string_view text, std::vector<std::string>* errors);

// The table of every embedded locale, built on first use and never changed
// afterwards; safe to read from any thread.
const TextTable& GetTextTable();

} // namespace Zentak
