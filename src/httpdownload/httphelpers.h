// Helpers shared by the request and download classes: form encoding, gzip members on raw deflate,
// header lookup and local file creation. Text meets bytes only through the ANSI code page.
//
// Buffers handed out by GzipCompress and GzipDecompress come from std::malloc; the caller frees
// them with std::free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Percent-encodes control bytes, bytes of 0x80 and above, and '%' of the text's ANSI bytes; the
// rest (space, '&', '=', '+', ...) passes unchanged. Stops at the first zero byte.
std::u16string UrlEncodeForm(std::u16string_view strText);

// One gzip member of the bytes (mtime = now, OS byte 11), or null with length 0.
char* GzipCompress(const void* pData, int32_t nLength, int32_t* pOutLength);

// The uncompressed bytes of one gzip member, or null with length 0. A trailer that announces more
// than deflate could ever produce from the input is refused before anything is allocated.
char* GzipDecompress(const void* pData, int32_t nLength, int32_t* pOutLength);

// The value behind the first occurrence of the name (with its colon, compared without case),
// cut at the next "\r\n" and trimmed; empty when absent or when no line end follows.
std::u16string GetHeaderValue(std::u16string_view strName, std::u16string_view strText);

// Creates the directories of a backslash path's file: 0 when the directory exists afterwards,
// -1 otherwise.
int32_t MakeFileDirectories(const char16_t* pszPath);

// Creates (or truncates) the file with its directories and gives it the length; true when the
// file could be opened.
bool CreateSizedFile(const char16_t* pszPath, int32_t nLength);
