// Text conversion: names are UTF-16 inside the core, the host gets UTF-8, and the "ANSI code page" is
// UTF-8 with every byte that is not valid UTF-8 read as Windows-1252.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// Unpaired surrogates become U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);
// Invalid UTF-8 bytes are read as Windows-1252, as the host's ANSI code page does.
std::u16string utf16FromAnsi(std::string_view bytes);
// The ANSI code page's bytes for a UTF-16 text: UTF-8 on this host.
inline std::string ansiFromUtf16(std::u16string_view text) { return utf8FromUtf16(text); }
// UTF-8 (or ANSI) bytes as UTF-8: valid sequences are kept, other bytes are read as Windows-1252.
std::string utf8FromAnsi(std::string_view bytes);

// Reads `units` UTF-16LE code units from raw bytes (stops early at the buffer's end).
std::u16string utf16FromLe(const void* data, std::size_t byteLength);

// Decimal text as the pages read it: a leading decimal integer, 0 when the text is not a number.
std::int64_t decimalValue(std::string_view text);
std::u16string trimmed(std::u16string_view text);
std::string trimmed(std::string_view text);
std::string rightTrimmed(std::string_view text);
// ASCII case-insensitive comparisons, as the system compares its labels.
bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);
bool endsWithNoCase(std::string_view text, std::string_view suffix);

// printf into a std::string (C99 conversions, %zu and %lld, on every host: mingw-w64's own printf on Windows).
#ifdef _WIN32
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

}  // namespace tessary
