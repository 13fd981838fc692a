// The receiver's form parsing, free of any server code so that the fuzz targets and the tests can
// drive it directly: the multipart/form-data splitter and the attachment file-name cleaner.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ktfeedback {

// One part of a multipart/form-data body.
struct FORM_PART {
    std::string strName;
    std::optional<std::string> strFileName;  // the filename parameter, as sent
    std::string strContentType;
    std::string strData;
};

// A report carries at most this many parts (the reporter sends nine). More are refused before
// they are copied, so a small post of many tiny parts cannot keep a worker busy.
inline constexpr size_t kMaxFormParts = 100;

enum class MultipartResult {
    Ok,
    Malformed,     // no delimiter, a part cut short, no closing delimiter, or no part at all
    TooManyParts,  // more than kMaxFormParts parts
};

// The boundary parameter of a multipart/form-data Content-Type value; empty when the value is not
// one. The reporter's engine sends its default "application/x-www-form-urlencoded" line first and
// the form's own line behind it, so callers look at every Content-Type line.
std::string MultipartBoundary(std::string_view strContentType);

// Splits a multipart body in one pass. The preamble before the first delimiter (the reporter sends
// a CR LF there) is skipped. A form without any part (only the closing delimiter) is malformed:
// there is nothing to store.
MultipartResult ParseMultipart(std::string_view strBody, std::string_view strBoundary,
                               std::vector<FORM_PART>& vecParts);

// A file name that can only name a file inside the report's folder: the last path component (both
// separators count), control characters and separators replaced, leading dots removed, at most 120
// bytes (never cutting a UTF-8 sequence); "attachment" when nothing usable is left, and never the
// name of the report's own record. Input is UTF-8.
std::string SafeFileName(std::string_view strName);

// The name of the report's own record, which no attachment may take.
inline constexpr const char* kReportFile = "report.json";

}  // namespace ktfeedback
