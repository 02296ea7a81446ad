#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Zentak::Util {

// Whitespace is what the C library's isspace says for ASCII; bytes of 0x80
// and above never count, so UTF-8 text is never cut.
void Trim(std::string& text);
std::string_view Trim(std::string_view text);

// Empty pieces are dropped.
std::vector<std::string> Split(const std::string& text, char separator);
// The parts with `separator` between them.
std::string Join(const std::vector<std::string>& parts, const std::string& separator);

// Every non-overlapping occurrence, left to right; an inserted replacement is
// not scanned again. Empty text, pattern or replacement: unchanged.
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement);

std::string ToLower(const std::string& text);
std::string ToUpper(const std::string& text);
bool StartsWith(const std::string& text, const std::string& prefix);

// Of `names`, the one closest to `word` (fewest single-character edits,
// letter case ignored), when it is within `most` edits: a likely typo.
// Empty when none is that close.
std::string NearestName(const std::string& word, const std::vector<std::string>& names,
                        std::size_t most = 3);

// "de-DE" -> "de_DE": only the first hyphen changes.
std::string FixLocaleName(const std::string& locale);

std::wstring ToWide(const std::string& utf8);
std::string ToMultiByte(const std::wstring& wide);

} // namespace Zentak::Util
