#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "platform/codepage.h"

// The system's own conversions: MultiByteToWideChar / WideCharToMultiByte with the ANSI code page
// (CP_ACP), unless KTREPORTER_CODEPAGE or SetAnsiCodePage names another one, so that the same
// tests run here as on Linux. Names are those of iconv (GBK, CP936, GB18030, UTF-8, ...), mapped to
// Windows code page numbers. The contract of codepage.h holds: an unmappable character becomes one
// '?' (a surrogate pair too), an invalid byte sequence one U+FFFD per byte that cannot start a
// character.

namespace kt {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr UINT kGb18030 = 54936;

std::string Upper(std::string_view name) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// The Windows code page of an iconv name, 0 when there is none.
UINT CodePageOfName(std::string_view name) {
    const std::string upper = Upper(name);
    static const struct {
        const char* pszName;
        UINT uCodePage;
    } s_names[] = {
        {"UTF-8", CP_UTF8},    {"UTF8", CP_UTF8},   {"GBK", 936},
        {"GB2312", 936},       {"EUC-CN", 936},     {"GB18030", kGb18030},
        {"BIG5", 950},         {"BIG-5", 950},      {"SHIFT_JIS", 932},
        {"SJIS", 932},         {"EUC-KR", 949},     {"UHC", 949},
        {"ISO-8859-1", 28591}, {"LATIN1", 28591},   {"ISO-8859-15", 28605},
        {"ASCII", 20127},      {"US-ASCII", 20127}, {"ANSI_X3.4-1968", 20127},
        {"KOI8-R", 20866},     {"EUC-JP", 20932},
    };
    for (const auto& entry : s_names) {
        if (upper == entry.pszName) return ::IsValidCodePage(entry.uCodePage) ? entry.uCodePage : 0;
    }
    // CP936, WINDOWS-1252, IBM850 and the like carry their number.
    for (const char* pszPrefix : {"CP", "WINDOWS-", "IBM", "MS"}) {
        const std::string prefix(pszPrefix);
        if (upper.size() > prefix.size() && upper.compare(0, prefix.size(), prefix) == 0 &&
            std::all_of(upper.begin() + prefix.size(), upper.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            const UINT uCodePage = static_cast<UINT>(std::atoi(upper.c_str() + prefix.size()));
            return ::IsValidCodePage(uCodePage) ? uCodePage : 0;
        }
    }
    return 0;
}

struct CodePageSetting {
    std::mutex mutex;
    std::string strName;
    std::atomic<UINT> uCodePage{0};  // 0: not resolved yet
};

CodePageSetting& Setting() {
    static CodePageSetting* s_pSetting = new CodePageSetting;
    return *s_pSetting;
}

std::pair<std::string, UINT> ResolveFromEnvironment() {
    if (const char* pszEnv = std::getenv("KTREPORTER_CODEPAGE"); pszEnv && *pszEnv) {
        if (const UINT uCodePage = CodePageOfName(pszEnv)) return {pszEnv, uCodePage};
    }
    const UINT uAcp = ::GetACP();
    if (uAcp == CP_UTF8) return {"UTF-8", CP_UTF8};
    return {"CP" + std::to_string(uAcp), uAcp};
}

UINT CurrentCodePage() {
    CodePageSetting& s = Setting();
    UINT uCodePage = s.uCodePage.load(std::memory_order_acquire);
    if (uCodePage != 0) return uCodePage;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.uCodePage == 0) {
        auto [name, cp] = ResolveFromEnvironment();
        s.strName = std::move(name);
        s.uCodePage.store(cp, std::memory_order_release);
    }
    return s.uCodePage;
}

std::string WideToCodePage(std::u16string_view in, UINT uCodePage) {
    if (uCodePage == CP_UTF8) return ToUtf8(in);
    if (in.empty()) return {};
    // Windows gives each half of a surrogate pair its own '?' where the code page lacks the
    // character; the contract wants one per character, so a pair the code page cannot hold is
    // folded to one unit first (GB18030 holds them all).
    std::u16string folded;
    if (uCodePage != kGb18030) {
        folded.reserve(in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            folded += in[i];
            if (in[i] >= 0xD800 && in[i] <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
                in[i + 1] <= 0xDFFF)
                ++i;
        }
        in = folded;
    }
    const auto* pIn = reinterpret_cast<const wchar_t*>(in.data());
    const int nIn = static_cast<int>(in.size());
    const char* pszDefault = uCodePage == kGb18030 ? nullptr : "?";
    const int nOut = ::WideCharToMultiByte(uCodePage, 0, pIn, nIn, nullptr, 0, pszDefault, nullptr);
    std::string out(static_cast<size_t>(std::max(nOut, 0)), '\0');
    if (nOut > 0)
        ::WideCharToMultiByte(uCodePage, 0, pIn, nIn, out.data(), nOut, pszDefault, nullptr);
    return out;
}

// One character's bytes, or 0 when none of the lengths the code page uses makes a valid one.
int ConvertOne(UINT uCodePage, const char* p, size_t nLeft, wchar_t* pOut) {
    for (int nLen : {1, 2, 4}) {
        if (static_cast<size_t>(nLen) > nLeft) break;
        if (int n = ::MultiByteToWideChar(uCodePage, MB_ERR_INVALID_CHARS, p, nLen, pOut, 2); n > 0)
            return nLen | (n << 8);
    }
    return 0;
}

std::u16string CodePageToWide(std::string_view in, UINT uCodePage) {
    if (uCodePage == CP_UTF8) return FromUtf8(in);
    if (in.empty()) return {};
    const int nIn = static_cast<int>(in.size());
    const int nOut =
        ::MultiByteToWideChar(uCodePage, MB_ERR_INVALID_CHARS, in.data(), nIn, nullptr, 0);
    if (nOut > 0) {
        std::u16string out(static_cast<size_t>(nOut), u'\0');
        ::MultiByteToWideChar(uCodePage, MB_ERR_INVALID_CHARS, in.data(), nIn,
                              reinterpret_cast<wchar_t*>(out.data()), nOut);
        return out;
    }
    // Invalid bytes somewhere: go character by character, one U+FFFD per byte that starts none.
    std::u16string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        wchar_t buf[2];
        const int r = ConvertOne(uCodePage, in.data() + i, in.size() - i, buf);
        if (r == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        out.append(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(r >> 8));
        i += static_cast<size_t>(r & 0xFF);
    }
    return out;
}

}  // namespace

std::string AnsiCodePageName() {
    CurrentCodePage();
    CodePageSetting& s = Setting();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.strName;
}

bool AnsiIsUtf8() {
    return CurrentCodePage() == CP_UTF8;
}

bool SetAnsiCodePage(std::string_view name) {
    std::pair<std::string, UINT> setting;
    if (name.empty()) {
        setting = ResolveFromEnvironment();
    } else {
        const UINT uCodePage = CodePageOfName(name);
        if (uCodePage == 0) return false;
        setting = {std::string(name), uCodePage};
    }
    CodePageSetting& s = Setting();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.strName = std::move(setting.first);
    s.uCodePage.store(setting.second, std::memory_order_release);
    return true;
}

std::string ToAnsi(std::u16string_view strWide) {
    return WideToCodePage(strWide, CurrentCodePage());
}

std::u16string FromAnsi(std::string_view strAnsi) {
    return CodePageToWide(strAnsi, CurrentCodePage());
}

std::string ConvertCodePage(std::string_view strIn, std::string_view fromCode,
                            std::string_view toCode) {
    const UINT uFrom = CodePageOfName(fromCode);
    const UINT uTo = CodePageOfName(toCode);
    if (uFrom == 0 || uTo == 0) return std::string(strIn);
    return WideToCodePage(CodePageToWide(strIn, uFrom), uTo);
}

}  // namespace kt
