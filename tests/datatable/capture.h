// Trace and message-box capture for the data table tests.
#pragma once

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/trace.h"

namespace kttest {

class CTraceCapture {
public:
    CTraceCapture() {
        m_previous = kt::SetTraceSink([this](std::string_view line) { lines.emplace_back(line); });
    }
    ~CTraceCapture() { kt::SetTraceSink(m_previous); }
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    size_t Count(const std::string& strLine) const {
        size_t n = 0;
        for (const auto& line : lines) n += line == strLine;
        return n;
    }

    std::vector<std::string> lines;

private:
    kt::TraceSink m_previous;
};

class CMessageBoxCapture {
public:
    CMessageBoxCapture() {
        m_previous = kt::SetMessageBoxHandler(
            [this](std::u16string_view strText, std::u16string_view, unsigned) {
                texts.emplace_back(strText);
                return kt::kIdOk;
            });
    }
    ~CMessageBoxCapture() { kt::SetMessageBoxHandler(m_previous); }
    CMessageBoxCapture(const CMessageBoxCapture&) = delete;
    CMessageBoxCapture& operator=(const CMessageBoxCapture&) = delete;

    std::vector<std::u16string> texts;

private:
    kt::MessageBoxHandler m_previous;
};

// Hex bytes ("80 80 82") to a byte string.
inline std::string Hex(const char* psz) {
    std::string out;
    int nHalf = -1;
    for (; *psz; ++psz) {
        const char c = *psz;
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (v < 0) continue;
        if (nHalf < 0) {
            nHalf = v;
        } else {
            out += static_cast<char>(nHalf * 16 + v);
            nHalf = -1;
        }
    }
    return out;
}

inline std::string ToHex(const std::string& str) {
    static const char* s_digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : str) {
        if (!out.empty()) out += ' ';
        out += s_digits[c >> 4];
        out += s_digits[c & 15];
    }
    return out;
}

}  // namespace kttest
