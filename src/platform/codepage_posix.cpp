#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace kt {
namespace {

static_assert(std::endian::native == std::endian::little,
              "UTF-16 text is handed to iconv as UTF-16LE");

constexpr char16_t kReplacement = 0xFFFD;

struct CodePageSetting {
    std::mutex mutex;
    std::string strName;  // resolved name in force
    std::atomic<uint64_t> nGeneration{1};
    bool bResolved = false;
};

CodePageSetting& Setting() {
    static CodePageSetting s_setting;
    return s_setting;
}

bool IsUtf8Name(std::string_view name) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "UTF-8" || upper == "UTF8" || upper == "CP65001";
}

std::string ResolveFromEnvironment() {
    if (const char* pszEnv = std::getenv("KTREPORTER_CODEPAGE"); pszEnv && *pszEnv) {
        iconv_t cd = iconv_open("UTF-16LE", pszEnv);
        if (cd != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(cd);
            return pszEnv;
        }
    }
    // The locale's codeset without touching the process locale (setlocale is global state).
    std::string strCodeset = "UTF-8";
    if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
        const char* pszCodeset = nl_langinfo_l(CODESET, loc);
        if (pszCodeset && *pszCodeset) strCodeset = pszCodeset;
        freelocale(loc);
    }
    if (strCodeset == "ANSI_X3.4-1968" || strCodeset == "ASCII" || strCodeset == "US-ASCII")
        strCodeset = "UTF-8";
    return strCodeset;
}

// The name in force and its generation; the generation lets per-thread converters notice a change.
std::pair<std::string, uint64_t> CurrentCodePage() {
    CodePageSetting& s = Setting();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.bResolved) {
        s.strName = ResolveFromEnvironment();
        s.bResolved = true;
    }
    return {s.strName, s.nGeneration.load()};
}

// One iconv descriptor per (from, to) pair per thread, opened on first use and closed when the
// thread ends.
class CConverterCache {
public:
    ~CConverterCache() {
        for (auto& [key, cd] : m_map) iconv_close(cd);
    }
    iconv_t Get(const std::string& from, const std::string& to) {
        auto key = std::make_pair(from, to);
        auto it = m_map.find(key);
        if (it != m_map.end()) {
            iconv(it->second, nullptr, nullptr, nullptr, nullptr);
            return it->second;
        }
        iconv_t cd = iconv_open(to.c_str(), from.c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
        m_map.emplace(std::move(key), cd);
        return cd;
    }

private:
    std::map<std::pair<std::string, std::string>, iconv_t> m_map;
};

thread_local CConverterCache t_converters;

struct ThreadCodePage {
    uint64_t nGeneration = 0;
    std::string strName;
    bool bUtf8 = true;
};
thread_local ThreadCodePage t_codePage;

const ThreadCodePage& ThreadCurrent() {
    CodePageSetting& s = Setting();
    // Fast path: nothing changed since this thread last looked.
    if (t_codePage.nGeneration != 0 &&
        t_codePage.nGeneration == s.nGeneration.load(std::memory_order_acquire))
        return t_codePage;
    auto [name, gen] = CurrentCodePage();
    t_codePage.strName = std::move(name);
    t_codePage.nGeneration = gen;
    t_codePage.bUtf8 = IsUtf8Name(t_codePage.strName);
    return t_codePage;
}

// ---- iconv route ----

// Converts the UTF-16 text to 'to'; characters the target lacks become '?'.
bool IconvFromWide(std::u16string_view in, const std::string& to, std::string& out) {
    iconv_t cd = t_converters.Get("UTF-16LE", to);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    char* pIn = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    size_t nInLeft = in.size() * 2;
    char buf[4096];
    while (true) {
        char* pOut = buf;
        size_t nOutLeft = sizeof(buf);
        const size_t r = iconv(cd, nInLeft ? &pIn : nullptr, &nInLeft, &pOut, &nOutLeft);
        out.append(buf, pOut - buf);
        if (r != static_cast<size_t>(-1)) {
            if (nInLeft == 0) break;
            continue;
        }
        if (errno == E2BIG) continue;
        // EILSEQ (unmappable or lone surrogate) or EINVAL (half a surrogate pair at the end).
        const char16_t* pUnit = reinterpret_cast<const char16_t*>(pIn);
        size_t nSkip = 2;
        if (nInLeft >= 4 && pUnit[0] >= 0xD800 && pUnit[0] <= 0xDBFF && pUnit[1] >= 0xDC00 &&
            pUnit[1] <= 0xDFFF)
            nSkip = 4;
        nSkip = std::min(nSkip, nInLeft);
        pIn += nSkip;
        nInLeft -= nSkip;
        out += '?';
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (nInLeft == 0) {
            // Flush any shift state.
            pOut = buf;
            nOutLeft = sizeof(buf);
            iconv(cd, nullptr, nullptr, &pOut, &nOutLeft);
            out.append(buf, pOut - buf);
            break;
        }
    }
    return true;
}

// Converts bytes in 'from' to UTF-16; an invalid or truncated sequence becomes U+FFFD per byte.
bool IconvToWide(std::string_view in, const std::string& from, std::u16string& out) {
    iconv_t cd = t_converters.Get(from, "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    char* pIn = const_cast<char*>(in.data());
    size_t nInLeft = in.size();
    char16_t buf[2048];
    while (nInLeft > 0) {
        char* pOut = reinterpret_cast<char*>(buf);
        size_t nOutLeft = sizeof(buf);
        const size_t r = iconv(cd, &pIn, &nInLeft, &pOut, &nOutLeft);
        out.append(buf, (reinterpret_cast<char16_t*>(pOut) - buf));
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        out += kReplacement;
        ++pIn;
        --nInLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return true;
}

}  // namespace

std::string AnsiCodePageName() {
    return ThreadCurrent().strName;
}

bool AnsiIsUtf8() {
    return ThreadCurrent().bUtf8;
}

bool SetAnsiCodePage(std::string_view name) {
    std::string strName;
    if (name.empty()) {
        strName = ResolveFromEnvironment();
    } else {
        strName = std::string(name);
        iconv_t cd = iconv_open("UTF-16LE", strName.c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) return false;
        iconv_close(cd);
    }
    CodePageSetting& s = Setting();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.strName = std::move(strName);
    s.bResolved = true;
    s.nGeneration.fetch_add(1, std::memory_order_release);
    return true;
}

std::string ToAnsi(std::u16string_view strWide) {
    const ThreadCodePage& cp = ThreadCurrent();
    if (cp.bUtf8) return ToUtf8(strWide);
    std::string out;
    if (!IconvFromWide(strWide, cp.strName, out)) return ToUtf8(strWide);
    return out;
}

std::u16string FromAnsi(std::string_view strAnsi) {
    const ThreadCodePage& cp = ThreadCurrent();
    if (cp.bUtf8) return FromUtf8(strAnsi);
    std::u16string out;
    if (!IconvToWide(strAnsi, cp.strName, out)) return FromUtf8(strAnsi);
    return out;
}

std::string ConvertCodePage(std::string_view strIn, std::string_view fromCode,
                            std::string_view toCode) {
    std::u16string wide;
    if (IsUtf8Name(fromCode)) {
        wide = FromUtf8(strIn);
    } else if (!IconvToWide(strIn, std::string(fromCode), wide)) {
        return std::string(strIn);
    }
    if (IsUtf8Name(toCode)) return ToUtf8(wide);
    std::string out;
    if (!IconvFromWide(wide, std::string(toCode), out)) return std::string(strIn);
    return out;
}

}  // namespace kt
