#include "multipart.h"

namespace ktfeedback {
namespace {

std::string Lower(std::string str) {
    for (char& c : str) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return str;
}

// The value of a parameter (name=value or name="value") inside a header value. The reporter sends
// quotation marks in paths unescaped, so a quoted value ends only at a quotation mark that the
// next parameter or the end of the line follows.
std::optional<std::string> HeaderParam(std::string_view strHeader, std::string_view strName) {
    size_t nPos = 0;
    while (true) {
        nPos = strHeader.find(';', nPos);
        if (nPos == std::string_view::npos) return std::nullopt;
        ++nPos;
        while (nPos < strHeader.size() && strHeader[nPos] == ' ') ++nPos;
        if (Lower(std::string(strHeader.substr(nPos, strName.size()))) != strName ||
            nPos + strName.size() >= strHeader.size() || strHeader[nPos + strName.size()] != '=') {
            continue;
        }
        std::string_view strValue = strHeader.substr(nPos + strName.size() + 1);
        if (!strValue.empty() && strValue.front() == '"') {
            // The closing quotation mark is the one followed by the next parameter or the end.
            for (size_t nEnd = strValue.find('"', 1); nEnd != std::string_view::npos;
                 nEnd = strValue.find('"', nEnd + 1)) {
                size_t nAfter = nEnd + 1;
                while (nAfter < strValue.size() && strValue[nAfter] == ' ') ++nAfter;
                if (nAfter == strValue.size() || strValue[nAfter] == ';') {
                    return std::string(strValue.substr(1, nEnd - 1));
                }
            }
            return std::string(strValue.substr(1));
        }
        return std::string(strValue.substr(0, strValue.find(';')));
    }
}

}  // namespace

std::string MultipartBoundary(std::string_view strContentType) {
    const std::string strLower = Lower(std::string(strContentType));
    if (strLower.rfind("multipart/form-data", 0) != 0) return {};
    return HeaderParam(strContentType, "boundary").value_or("");
}

MultipartResult ParseMultipart(std::string_view strBody, std::string_view strBoundary,
                               std::vector<FORM_PART>& vecParts) {
    vecParts.clear();
    if (strBoundary.empty()) return MultipartResult::Malformed;
    const std::string strDelim = "--" + std::string(strBoundary);
    const std::string strNextDelim = "\r\n" + strDelim;
    size_t nPos = strBody.find(strDelim);
    if (nPos == std::string_view::npos) return MultipartResult::Malformed;
    while (true) {
        nPos += strDelim.size();
        if (strBody.substr(nPos, 2) == "--") {
            // The closing delimiter; a form that closes before its first part holds nothing.
            return vecParts.empty() ? MultipartResult::Malformed : MultipartResult::Ok;
        }
        if (strBody.substr(nPos, 2) != "\r\n") return MultipartResult::Malformed;
        if (vecParts.size() == kMaxFormParts) return MultipartResult::TooManyParts;
        nPos += 2;
        const size_t nHeadEnd = strBody.find("\r\n\r\n", nPos);
        if (nHeadEnd == std::string_view::npos) return MultipartResult::Malformed;
        FORM_PART part;
        std::string_view strHead = strBody.substr(nPos, nHeadEnd - nPos);
        while (!strHead.empty()) {
            const size_t nEol = strHead.find("\r\n");
            const std::string_view strLine = strHead.substr(0, nEol);
            strHead =
                nEol == std::string_view::npos ? std::string_view() : strHead.substr(nEol + 2);
            const size_t nColon = strLine.find(':');
            if (nColon == std::string_view::npos) continue;
            const std::string strName = Lower(std::string(strLine.substr(0, nColon)));
            std::string_view strValue = strLine.substr(nColon + 1);
            while (!strValue.empty() && strValue.front() == ' ') strValue.remove_prefix(1);
            if (strName == "content-disposition") {
                part.strName = HeaderParam(strValue, "name").value_or("");
                // "name" must not match the tail of "filename": HeaderParam only looks at
                // parameter starts, after a semicolon.
                part.strFileName = HeaderParam(strValue, "filename");
            } else if (strName == "content-type") {
                part.strContentType = std::string(strValue);
            }
        }
        const size_t nDataStart = nHeadEnd + 4;
        const size_t nNext = strBody.find(strNextDelim, nDataStart);
        if (nNext == std::string_view::npos) return MultipartResult::Malformed;
        part.strData = std::string(strBody.substr(nDataStart, nNext - nDataStart));
        vecParts.push_back(std::move(part));
        nPos = nNext + 2;
    }
}

std::string SafeFileName(std::string_view strName) {
    const size_t nSep = strName.find_last_of("/\\");
    std::string_view strBase = nSep == std::string_view::npos ? strName : strName.substr(nSep + 1);
    std::string out;
    for (unsigned char c : strBase) {
        if (c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|') {
            out += '_';
        } else {
            out += static_cast<char>(c);
        }
    }
    const size_t nFirst = out.find_first_not_of(". ");
    out.erase(0, nFirst == std::string::npos ? out.size() : nFirst);
    if (out.size() > 120) {
        size_t nCut = 120;
        // Back off to the start of a UTF-8 sequence.
        while (nCut > 0 && (static_cast<unsigned char>(out[nCut]) & 0xC0) == 0x80) --nCut;
        out.resize(nCut);
    }
    if (out.empty() || out == kReportFile) out = "attachment" + out;
    return out;
}

}  // namespace ktfeedback
