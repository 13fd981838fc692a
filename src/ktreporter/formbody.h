// The feedback form body: one multipart/form-data body with eight text fields and one file part,
// byte for byte what the feedback service has always received from this dialog. Shared by the
// dialog and by `kt-inspect form`, so that what support staff inspect is what users send.
//
// Every text is 8-bit text in the configured ANSI code page (platform/codepage.h). Nothing here
// throws; functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

// The boundary parameter of the header line (27 hyphens, then 7d92de3351722).
inline constexpr std::string_view kFormBoundary = "---------------------------7d92de3351722";
// The header line the dialog attaches to its request id once; it is not part of the body.
inline constexpr std::u16string_view kFormContentTypeHeader =
    u"Content-Type: multipart/form-data; boundary=---------------------------7d92de3351722";

// Longest value of each field in bytes; the dialog's text buffers are one byte longer.
inline constexpr size_t kFormMaxUserId = 127;
inline constexpr size_t kFormMaxName = 127;
inline constexpr size_t kFormMaxEmail = 255;
inline constexpr size_t kFormMaxPhone = 63;
inline constexpr size_t kFormMaxTitle = 255;
inline constexpr size_t kFormMaxDesc = 511;
inline constexpr size_t kFormMaxPath = 259;

// Fixed bytes of the head template (everything but the nine values), of the two content-type
// lines with their empty line, and of the closing text.
inline constexpr size_t kFormTemplateBytes = 938;
inline constexpr size_t kFormImageTypeBytes = 29;
inline constexpr size_t kFormArchiveTypeBytes = 52;
inline constexpr size_t kFormClosingBytes = 50;

// The text converted to the ANSI code page and cut to at most nMaxBytes bytes. The cut falls
// between characters: a multibyte character that would not fit whole is left out whole, so the
// server never receives half a GBK pair or a broken UTF-8 sequence.
std::string AnsiCut(std::u16string_view strText, size_t nMaxBytes);

// The values of one feedback, already in the ANSI code page and cut to their limits.
struct FEEDBACK_FORM {
    int32_t nAttachType = -1;
    std::string strUserId;
    std::string strName;
    std::string strEmail;
    std::string strPhone;
    std::string strTitle;
    std::string strDesc;
    std::string strAttachPath;  // what the filename parameter carries
};

// The dialog's view of the fields as typed (UTF-16), turned into the form's values: every text
// converted and cut at its limit with AnsiCut.
FEEDBACK_FORM MakeFeedbackForm(int32_t nAttachType, std::u16string_view strUserId,
                               std::u16string_view strName, std::u16string_view strEmail,
                               std::u16string_view strPhone, std::u16string_view strTitle,
                               std::u16string_view strDesc, std::u16string_view strAttachPath);

// The head text: the template with the nine values, up to and including the part's
// Content-Disposition line (without the content-type line).
std::string BuildFormHead(const FEEDBACK_FORM& form);

// The content-type line of the file part with its empty line: the archive line for type 1, the
// image line for every other type.
std::string_view FormContentTypeLines(int32_t nAttachType);

// Builds the whole body into vecBody (one contiguous buffer of exactly the body's length, no
// terminating zero): head, content-type lines, the raw bytes of the file at strAttachFile, the
// closing text. An empty path or a file that cannot be opened gives an empty file part; that is
// not a failure. Returns 0, or -1 when the memory for the body cannot be had (vecBody is then
// empty).
int BuildFeedbackBody(const FEEDBACK_FORM& form, std::u16string_view strAttachFile,
                      std::vector<char>& vecBody);

}  // namespace kt
