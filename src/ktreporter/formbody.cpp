#include "ktreporter/formbody.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <sys/stat.h>

#include "platform/codepage.h"
#include "platform/paths.h"

namespace kt {
namespace {

constexpr std::string_view kCrLf = "\r\n";
// The delimiter line: the boundary with two more hyphens in front.
constexpr std::string_view kDelimiter = "-----------------------------7d92de3351722";
constexpr std::string_view kImageType = "Content-Type: image/pjpeg\r\n\r\n";
constexpr std::string_view kArchiveType =
    "Content-Type: application/x-rar-compressed   rar\r\n\r\n";
constexpr std::string_view kClosing = "\r\n-----------------------------7d92de3351722--\r\n\r\n";

static_assert(kImageType.size() == kFormImageTypeBytes);
static_assert(kArchiveType.size() == kFormArchiveTypeBytes);
static_assert(kClosing.size() == kFormClosingBytes);

// Length of the code point starting at nPos: a well-formed surrogate pair counts as one.
size_t CodePointUnits(std::u16string_view str, size_t nPos) {
    const char16_t c = str[nPos];
    if (c >= 0xD800 && c <= 0xDBFF && nPos + 1 < str.size() && str[nPos + 1] >= 0xDC00 &&
        str[nPos + 1] <= 0xDFFF) {
        return 2;
    }
    return 1;
}

void AppendField(std::string& str, std::string_view strName, std::string_view strValue) {
    str += kDelimiter;
    str += kCrLf;
    str += "Content-Disposition: form-data; name=\"";
    str += strName;
    str += "\"\r\n\r\n";
    str += strValue;
    str += kCrLf;
}

// Closes the FILE on every path out of the reader.
struct FileCloser {
    void operator()(FILE* pFile) const { std::fclose(pFile); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Size of the open file, by seeking to its end; -1 when it cannot be told. Only a regular file
// has a size worth sending: a directory opens here but reads as nothing.
long FileSize(FILE* pFile) {
    struct stat st {};
    if (::fstat(::fileno(pFile), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (std::fseek(pFile, 0, SEEK_END) != 0) return -1;
    const long nSize = std::ftell(pFile);
    if (std::fseek(pFile, 0, SEEK_SET) != 0) return -1;
    return nSize;
}

}  // namespace

std::string AnsiCut(std::u16string_view strText, size_t nMaxBytes) {
    // Most fields fit: one conversion answers it when the text cannot exceed the limit anyway
    // (every UTF-16 unit gives at least one byte, and at most four, GB18030's longest sequence).
    if (strText.size() * 4 <= nMaxBytes) return ToAnsi(strText);
    std::string strOut;
    size_t nPos = 0;
    // Every character gives at least one byte, so no more than nMaxBytes characters can fit.
    while (nPos < strText.size() && strOut.size() < nMaxBytes) {
        const size_t nUnits = CodePointUnits(strText, nPos);
        const std::string strChar = ToAnsi(strText.substr(nPos, nUnits));
        if (strOut.size() + strChar.size() > nMaxBytes) break;
        strOut += strChar;
        nPos += nUnits;
    }
    return strOut;
}

FEEDBACK_FORM MakeFeedbackForm(int32_t nAttachType, std::u16string_view strUserId,
                               std::u16string_view strName, std::u16string_view strEmail,
                               std::u16string_view strPhone, std::u16string_view strTitle,
                               std::u16string_view strDesc, std::u16string_view strAttachPath) {
    FEEDBACK_FORM form;
    form.nAttachType = nAttachType;
    form.strUserId = AnsiCut(strUserId, kFormMaxUserId);
    form.strName = AnsiCut(strName, kFormMaxName);
    form.strEmail = AnsiCut(strEmail, kFormMaxEmail);
    form.strPhone = AnsiCut(strPhone, kFormMaxPhone);
    form.strTitle = AnsiCut(strTitle, kFormMaxTitle);
    form.strDesc = AnsiCut(strDesc, kFormMaxDesc);
    form.strAttachPath = AnsiCut(strAttachPath, kFormMaxPath);
    return form;
}

std::string BuildFormHead(const FEEDBACK_FORM& form) {
    std::string str;
    str.reserve(kFormTemplateBytes + form.strUserId.size() + form.strName.size() +
                form.strEmail.size() + form.strPhone.size() + form.strTitle.size() +
                form.strDesc.size() + form.strAttachPath.size() + 16);
    str += kCrLf;
    AppendField(str, "DATA_FROM", "client");
    AppendField(str, "PAGE_TYPE", std::to_string(form.nAttachType));
    AppendField(str, "USER_ID_YY_RDQ012", form.strUserId);
    AppendField(str, "F001V_YY_RDQ012", form.strName);
    AppendField(str, "F002V_YY_RDQ012", form.strEmail);
    AppendField(str, "F003V_YY_RDQ012", form.strPhone);
    AppendField(str, "F005V_YY_RDQ013", form.strTitle);
    AppendField(str, "F007C_YY_RDQ013", form.strDesc);
    str += kDelimiter;
    str += kCrLf;
    str += "Content-Disposition: form-data; name=\"ATTACH_FILE_NAME\"; filename=\"";
    str += form.strAttachPath;
    str += "\"\r\n";
    return str;
}

std::string_view FormContentTypeLines(int32_t nAttachType) {
    return nAttachType == 1 ? kArchiveType : kImageType;
}

int BuildFeedbackBody(const FEEDBACK_FORM& form, std::u16string_view strAttachFile,
                      std::vector<char>& vecBody) {
    vecBody.clear();
    const std::string strHead = BuildFormHead(form);
    const std::string_view strType = FormContentTypeLines(form.nAttachType);

    FilePtr pFile;
    long nFileSize = 0;
    if (!strAttachFile.empty()) {
        pFile.reset(OpenFile(strAttachFile, "rb"));
        if (pFile) {
            nFileSize = FileSize(pFile.get());
            if (nFileSize < 0) nFileSize = 0;
        }
    }

    // The body is sized once, before anything is read: a 50 MB archive must not be copied
    // through a growing buffer.
    const size_t nFixed = strHead.size() + strType.size();
    try {
        vecBody.resize(nFixed + static_cast<size_t>(nFileSize) + kClosing.size());
    } catch (const std::exception&) {
        vecBody.clear();
        vecBody.shrink_to_fit();
        return -1;
    }
    char* pOut = vecBody.data();
    pOut = std::copy(strHead.begin(), strHead.end(), pOut);
    pOut = std::copy(strType.begin(), strType.end(), pOut);
    size_t nRead = 0;
    if (pFile && nFileSize > 0) {
        nRead = std::fread(pOut, 1, static_cast<size_t>(nFileSize), pFile.get());
    }
    // A file that shrank while being read sends the bytes it still had, and the length says so.
    pOut += nRead;
    pOut = std::copy(kClosing.begin(), kClosing.end(), pOut);
    vecBody.resize(static_cast<size_t>(pOut - vecBody.data()));
    return 0;
}

}  // namespace kt
