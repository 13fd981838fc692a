// The "ANSI code page" of the family: a configured multibyte code page that every text crossing a
// file, the wire or a server reply goes through. Configured by KTREPORTER_CODEPAGE (an iconv name:
// GBK, CP936, GB18030, UTF-8, ...) or else the locale's codeset; a C/POSIX/ASCII locale counts as
// UTF-8. Thread and system code page are the same here.
//
// The conversions keep the Windows contract the family's code was written against:
//  - lengths are explicit and no terminator is ever counted or written;
//  - a destination capacity of 0 is a length query: the result is the length the conversion needs;
//  - otherwise the result is the number of units written, or 0 when the destination is too small;
//  - a character the code page lacks becomes '?'; an invalid byte sequence becomes U+FFFD.
// Converters are cached per thread and per code page; no call opens one of its own.
// All functions may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace kt {

// The iconv name of the code page in force, e.g. "GBK" or "UTF-8".
std::string AnsiCodePageName();

// Replaces the code page for the whole process (tests, tools). An empty name goes back to the
// environment/locale rule. Returns false, leaving the setting as it was, when iconv does not know
// the name.
bool SetAnsiCodePage(std::string_view name);

// True when the code page in force is UTF-8 (no conversion is needed for UTF-8 text).
bool AnsiIsUtf8();

// WideCharToMultiByte: UTF-16 -> ANSI.
int WideToAnsi(const char16_t* pWide, int nWideLen, char* pOut, int nOutCap);
// MultiByteToWideChar: ANSI -> UTF-16.
int AnsiToWide(const char* pAnsi, int nAnsiLen, char16_t* pOut, int nOutCap);

std::string ToAnsi(std::u16string_view strWide);
std::u16string FromAnsi(std::string_view strAnsi);

// UTF-8 <-> UTF-16 regardless of the configured code page (JSON output, file names, Qt glue).
// Invalid input becomes U+FFFD (or '?' for a lone surrogate going to UTF-8).
std::string ToUtf8(std::u16string_view strWide);
std::u16string FromUtf8(std::string_view strUtf8);

// Converts between two named code pages (e.g. the configured one and UTF-8) with the same
// '?'/U+FFFD rules; used where bytes of one code page must be shown in another.
std::string ConvertCodePage(std::string_view strIn, std::string_view fromCode,
                            std::string_view toCode);

}  // namespace kt
