// Text services. Texts inside the module are UTF-8; widths count characters (code points),
// and letter case is folded for the ASCII letters only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zeb::platform {

inline char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
inline char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Upper-cases the letters a to z; every other byte is left as it is.
std::string asciiUpperCase(std::string_view text);

// True when both texts are equal once the ASCII letters are folded.
bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b);

// True when every byte is below 0x80.
bool isAscii(std::string_view bytes);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Decodes Windows-1252 bytes into UTF-8. The five bytes that Windows-1252 leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the control characters of the same number, so that no
// byte is lost.
std::string windows1252ToUtf8(std::string_view bytes);

// Appends the text to "out" as UTF-8: unchanged when it is valid UTF-8, else decoded as
// Windows-1252.
void appendAsUtf8(std::string& out, std::string_view bytes);

// The number of characters in valid UTF-8 text (lead bytes counted).
std::size_t utf8Length(std::string_view text);

// The first "n" characters of valid UTF-8 text; never splits a character.
std::string_view utf8Prefix(std::string_view text, std::size_t n);

// Appends the UTF-8 text as a JSON string, quotes included: quotes, backslashes and control
// characters are escaped; everything else is copied as it is.
void appendJsonString(std::string& out, std::string_view text);

// Appends the text as one field of tab-separated lines, as PostgreSQL's COPY text format and our
// TSV listings write it: a backslash, tab, CR or LF becomes \\, \t, \r or \n.
void appendTabEscaped(std::string& out, std::string_view text);

}  // namespace zeb::platform
