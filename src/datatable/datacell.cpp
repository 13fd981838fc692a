#include "datatable/datacell.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "datatable/databufparser.h"
#include "platform/codepage.h"
#include "platform/collate.h"
#include "platform/decimal.h"
#include "platform/trace.h"

namespace kt {
namespace {

constexpr double kEpsilon = DBL_EPSILON;
// The single-precision constant the family divides against: 1e-7f widened to double.
constexpr double kMinDivisor = static_cast<double>(1e-7f);
constexpr double kZeroBand = 1e-9;
constexpr uint64_t kNegativeZeroBits = 0x8000000000000000ull;

// Double to integer conversions that are undefined in C++ for NaN and out-of-range values answer
// what the x86 conversion instruction answers: the "integer indefinite" minimum.
int64_t TruncToInt64(double d) {
    if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0))
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

int32_t TruncToInt32(double d) {
    if (!(d > -2147483649.0 && d < 2147483648.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(d);
}

// Wrapping 64-bit arithmetic: the slot is a machine integer, not a checked one.
int64_t WrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t WrapSub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t WrapMul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
int64_t WrapDiv(int64_t a, int64_t b) {
    if (b == -1) return WrapSub(0, a);  // the one quotient that overflows
    return a / b;
}

bool IsDateValueValid(int64_t n) {
    if (n < 19000001 || n >= 21500000) return false;
    const int64_t nMonth = (n % 10000) / 100;
    const int64_t nDay = n % 100;
    return nMonth >= 1 && nMonth <= 12 && nDay >= 1 && nDay <= 31;
}

bool IsNoValueCode(uint32_t nType) {
    return (nType & DT_CODE_MASK) < 0x100;
}

bool IsDateCode(uint32_t nType) {
    return (nType & DT_FAMILY_INTEGER) && (nType & DT_FAMILY_DATE) == DT_FAMILY_DATE;
}

// ---- printf-style formatting with the caller's format ----

enum class EArg { kInt, kDouble, kText };

// Formats a wide printf format with the given arguments, one conversion at a time, each checked
// against the kind of its argument. A conversion that does not fit (or more conversions than
// arguments, '*' widths, %n) makes the whole result empty: a caller's format must never read an
// argument that is not there.
struct FormatArgs {
    EArg eKind;
    int nCount;
    int32_t nInts[3];
    double dValue;
    const std::string* pText;
};

bool FormatPrintf(const char16_t* lpszFormat, const FormatArgs& args, std::string& strOut) {
    const std::string strFormat = ToUtf8(lpszFormat);
    strOut.clear();
    int nUsed = 0;
    size_t i = 0;
    char buf[512];
    while (i < strFormat.size()) {
        const char c = strFormat[i];
        if (c != '%') {
            strOut += c;
            ++i;
            continue;
        }
        if (i + 1 < strFormat.size() && strFormat[i + 1] == '%') {
            strOut += '%';
            i += 2;
            continue;
        }
        // %[flags][width][.precision][length]conversion; lengths are dropped because the
        // argument's C type is fixed by the cell, not by the format.
        std::string strSpec = "%";
        size_t j = i + 1;
        while (j < strFormat.size() && std::strchr("-+ #0'", strFormat[j]))
            strSpec += strFormat[j++];
        size_t nDigits = 0;
        while (j < strFormat.size() && strFormat[j] >= '0' && strFormat[j] <= '9' && nDigits < 3) {
            strSpec += strFormat[j++];
            ++nDigits;
        }
        if (j < strFormat.size() && strFormat[j] == '.') {
            strSpec += strFormat[j++];
            nDigits = 0;
            while (j < strFormat.size() && strFormat[j] >= '0' && strFormat[j] <= '9' &&
                   nDigits < 3) {
                strSpec += strFormat[j++];
                ++nDigits;
            }
        }
        while (j < strFormat.size() && std::strchr("hlLqjzt", strFormat[j])) ++j;
        if (j >= strFormat.size()) return false;
        const char cConv = strFormat[j++];
        if (nUsed >= args.nCount) return false;
        int n = -1;
        if (std::strchr("diouxXc", cConv)) {
            if (args.eKind != EArg::kInt) return false;
            strSpec += cConv;
            n = std::snprintf(buf, sizeof(buf), strSpec.c_str(), args.nInts[nUsed]);
        } else if (std::strchr("fFeEgGaA", cConv)) {
            if (args.eKind != EArg::kDouble) return false;
            strSpec += cConv;
            n = std::snprintf(buf, sizeof(buf), strSpec.c_str(), args.dValue);
        } else if (cConv == 's' || cConv == 'S') {
            if (args.eKind != EArg::kText) return false;
            strSpec += 's';
            const int nNeed = std::snprintf(nullptr, 0, strSpec.c_str(), args.pText->c_str());
            if (nNeed < 0) return false;
            std::string strPart(static_cast<size_t>(nNeed) + 1, '\0');
            std::snprintf(strPart.data(), strPart.size(), strSpec.c_str(), args.pText->c_str());
            strPart.resize(static_cast<size_t>(nNeed));
            strOut += strPart;
            ++nUsed;
            i = j;
            continue;
        } else {
            return false;
        }
        if (n < 0) return false;
        strOut.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof(buf) - 1));
        ++nUsed;
        i = j;
    }
    return true;
}

std::u16string FormatWide(const char16_t* lpszFormat, const FormatArgs& args) {
    std::string strOut;
    if (!FormatPrintf(lpszFormat, args, strOut)) {
        KT_TRACE("%s() Warn: format does not fit the value\n", "CDataCell::GetString");
        return std::u16string();
    }
    return FromUtf8(strOut);
}

std::u16string Ascii(const char* psz) {
    std::u16string str;
    while (*psz) str += static_cast<char16_t>(static_cast<unsigned char>(*psz++));
    return str;
}

std::u16string PrintInt(int32_t n) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%d", n);
    return Ascii(buf);
}

}  // namespace

int CompareTextIgnoreWidth(std::u16string_view strLeft, std::u16string_view strRight) {
    return CompareStringIgnoreWidth(strLeft, strRight);
}

// ---- construction ----

CDataCell::CDataCell(const CDataCell& other) : m_nType(other.m_nType) {
    if (other.IsStringFamily())
        m_value.p = new std::u16string(other.m_value.p ? *other.m_value.p : std::u16string());
    else
        m_value = other.m_value;
}

CDataCell::CDataCell(CDataCell&& other) noexcept : m_nType(other.m_nType), m_value(other.m_value) {
    other.m_nType = DT_EMPTY;
    other.m_value.n = 0;
}

CDataCell& CDataCell::operator=(const CDataCell& other) {
    if (this == &other) return *this;
    if (other.IsStringFamily()) {
        const std::u16string& src = other.m_value.p ? *other.m_value.p : std::u16string();
        if (IsStringFamily() && m_value.p) {
            *m_value.p = src;
        } else {
            std::u16string* p = new std::u16string(src);
            m_value.p = p;
        }
    } else {
        ReleaseText();
        m_value = other.m_value;
    }
    m_nType = other.m_nType;
    return *this;
}

CDataCell& CDataCell::operator=(CDataCell&& other) noexcept {
    if (this == &other) return *this;
    ReleaseText();
    m_nType = other.m_nType;
    m_value = other.m_value;
    other.m_nType = DT_EMPTY;
    other.m_value.n = 0;
    return *this;
}

void CDataCell::SetInteger(int64_t nValue, uint32_t nType) {
    ReleaseText();
    KT_DEBUG_ASSERT(nType & DT_FAMILY_INTEGER);
    m_nType = nType;
    m_value.n = nValue;
}

void CDataCell::SetDouble(double dValue, uint32_t nType) {
    ReleaseText();
    KT_DEBUG_ASSERT(nType & DT_FAMILY_FLOAT);
    m_nType = nType;
    m_value.d = dValue;
}

void CDataCell::SetString(std::u16string_view strText, uint32_t nType) {
    if (!(nType & DT_FAMILY_STRING)) {
        KT_DEBUG_ASSERT(nType & DT_FAMILY_STRING);
        return;
    }
    if (IsStringFamily() && m_value.p) {
        m_value.p->assign(strText);
    } else {
        std::u16string* p = new std::u16string(strText);
        m_value.p = p;
    }
    m_nType = nType;
}

void CDataCell::Clear() {
    ReleaseText();
    m_value.n = 0;
    m_nType = DT_EMPTY;
}

// ---- validity and conversions ----

bool CDataCell::IsValid() const {
    const uint32_t nType = GetType();
    if (nType & DT_FAMILY_INTEGER) {
        const int64_t n = m_value.n;
        if (IsDateCode(nType)) return IsDateValueValid(n);
        switch (nType) {
            case DT_YEAR:
                return n >= 1901 && n <= 2149;
            case DT_TIME:
                return n > 0;
            default:
                return n > -2147483647ll;
        }
    }
    if (nType & DT_FAMILY_FLOAT) {
        uint64_t nBits;
        std::memcpy(&nBits, &m_value.d, sizeof(nBits));
        return !std::isnan(m_value.d) && nBits != kNegativeZeroBits;
    }
    return (nType & DT_FAMILY_STRING) != 0;
}

int32_t CDataCell::AsInt() const {
    if (IsIntegerFamily()) return static_cast<int32_t>(static_cast<uint32_t>(m_value.n));
    if (IsFloatFamily()) return TruncToInt32(m_value.d + 0.5);
    if (GetType() == DT_STRING && m_value.p) return WToL(*m_value.p);
    return 0;
}

double CDataCell::AsDouble() const {
    if (IsIntegerFamily()) return static_cast<double>(m_value.n);
    if (IsFloatFamily()) return m_value.d;
    if (GetType() == DT_STRING && m_value.p) return WToF(*m_value.p);
    return 0.0;
}

CDateTime CDataCell::ToDateTime() const {
    const uint32_t nType = GetType();
    if (nType == DT_TIME)
        return CDateTime::FromUnixLocal(static_cast<int32_t>(static_cast<uint32_t>(m_value.n)));
    if (IsDateCode(nType)) {
        const int64_t n = m_value.n;
        if (n / 10000 > 9999 || n < 0) return CDateTime::FromDate(0, 0, 0);  // invalid
        return CDateTime::FromDate(static_cast<int>(n / 10000), static_cast<int>((n % 10000) / 100),
                                   static_cast<int>(n % 100));
    }
    return CDateTime();
}

std::u16string CDataCell::GetString() const {
    const uint32_t nType = GetType();
    if (nType & DT_FAMILY_STRING) return m_value.p ? *m_value.p : std::u16string();
    if (!IsValid()) return u"--";
    char buf[64];
    if (nType & DT_FAMILY_INTEGER) {
        const int64_t n = m_value.n;
        if (nType == DT_BOOL) return n == 0 ? u"否" : u"是";
        if (nType == DT_TIME) return ToDateTime().Format(u"%Y-%m-%d");
        if (nType == DT_DATE) {
            std::snprintf(buf, sizeof(buf), "%4d-%02d-%02d", static_cast<int>(n / 10000),
                          static_cast<int>((n % 10000) / 100), static_cast<int>(n % 100));
            return Ascii(buf);
        }
        return PrintInt(static_cast<int32_t>(static_cast<uint32_t>(n)));
    }
    // Floating family (every other code is invalid and returned above).
    std::snprintf(buf, sizeof(buf), "%0.4f", m_value.d);
    if (std::strlen(buf) < sizeof(buf) - 1) return Ascii(buf);
    std::string strBig(512, '\0');
    const int n = std::snprintf(strBig.data(), strBig.size(), "%0.4f", m_value.d);
    strBig.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return Ascii(strBig.c_str());
}

std::u16string CDataCell::GetString(const char16_t* lpszFormat) const {
    if (!lpszFormat || !*lpszFormat) return GetString();
    const uint32_t nType = GetType();
    if (IsNoValueCode(nType) ||
        !(nType & (DT_FAMILY_INTEGER | DT_FAMILY_FLOAT | DT_FAMILY_STRING))) {
        KT_TRACE("%s() Warn: lpszFormat not use\n", "CDataCell::GetString");
        return GetString();
    }
    if (!IsValid()) return u"--";
    FormatArgs args{};
    if (nType == DT_TIME) return ToDateTime().Format(lpszFormat);
    if (IsDateCode(nType)) {
        const int64_t n = m_value.n;
        args.eKind = EArg::kInt;
        args.nCount = 3;
        args.nInts[0] = static_cast<int32_t>(n / 10000);
        args.nInts[1] = static_cast<int32_t>((n % 10000) / 100);
        args.nInts[2] = static_cast<int32_t>(n % 100);
        return FormatWide(lpszFormat, args);
    }
    if (nType & DT_FAMILY_INTEGER) {
        args.eKind = EArg::kInt;
        args.nCount = 1;
        args.nInts[0] = static_cast<int32_t>(static_cast<uint32_t>(m_value.n));
        return FormatWide(lpszFormat, args);
    }
    if (nType & DT_FAMILY_FLOAT) return FormatNumber(m_value.d, lpszFormat);
    const std::string strText = ToUtf8(m_value.p ? *m_value.p : std::u16string());
    args.eKind = EArg::kText;
    args.nCount = 1;
    args.pText = &strText;
    return FormatWide(lpszFormat, args);
}

std::u16string CDataCell::FormatNumber(double dValue, const char16_t* lpszFormat) {
    if (!lpszFormat) return std::u16string();
    const char16_t* pCh = lpszFormat;
    const bool bSeparators = *pCh == u',';
    if (bSeparators) ++pCh;
    KT_DEBUG_ASSERT(L'%' == *pCh);
    FormatArgs args{};
    args.eKind = EArg::kDouble;
    args.nCount = 1;
    args.dValue = dValue;
    std::u16string strPrinted = FormatWide(pCh, args);
    // The family prints into 64 wide characters, of which at most 62 are written.
    if (strPrinted.size() > 62) strPrinted.resize(62);
    if (std::fabs(dValue) < 1000 || !bSeparators) return strPrinted;
    const size_t nDot = strPrinted.find(u'.');
    if (nDot == std::u16string::npos || nDot == 0) {
        if (std::u16string_view(pCh) == u"%.0f") return strPrinted;
        return u"0" + strPrinted;
    }
    std::u16string strOut;
    size_t nStart = 0;
    if (strPrinted[0] == u'-') {
        strOut += u'-';
        nStart = 1;
    }
    const size_t nIntLen = nDot - nStart;
    for (size_t k = 0; k < nIntLen; ++k) {
        if (k > 0 && (nIntLen - k) % 3 == 0) strOut += u',';
        strOut += strPrinted[nStart + k];
    }
    strOut.append(strPrinted, nDot, std::u16string::npos);
    return strOut;
}

std::u16string CDataCell::GetDateString(int nStyle) const {
    const uint32_t nType = GetType();
    if (nType < DT_TIME || nType > DT_DATE_NUMBER2) return std::u16string();
    if (m_value.n <= 0) return std::u16string();
    static const char16_t* const s_formats[3] = {u"%Y-%m-%d", u"%m/%d/%Y", u"%Y%m%d"};
    if (nStyle < 0 || nStyle > 2) return std::u16string();
    return ToDateTime().Format(s_formats[nStyle]);
}

std::u16string CDataCell::GetDefaultFormat(uint32_t nType) {
    nType &= DT_CODE_MASK;
    if (nType == DT_BOOL) return u"%d";
    if (IsDateCode(nType)) return u"%4d%02d%02d";
    if (nType == DT_TIME) return u"%Y%m%d";
    return std::u16string();
}

void CDataCell::SetValueByType(std::u16string_view strText, uint32_t nType) {
    try {
        Clear();
        if (nType & DT_FAMILY_INTEGER) {
            if (IsDateCode(nType)) {
                std::u16string strDigits;
                for (char16_t c : strText)
                    if (c != u'-') strDigits += c;
                KT_DEBUG_ASSERT(strDigits.size() == 8);
                m_value.n = WToL(strDigits);
            } else {
                m_value.n = WToL(strText);
            }
        } else if (nType & DT_FAMILY_FLOAT) {
            m_value.d = WToF(strText);
        } else if (nType & DT_FAMILY_STRING) {
            m_value.p = new std::u16string(strText);
        } else {
            KT_DEBUG_ASSERT(!IsNoValueCode(nType));
        }
        m_nType = nType;
    } catch (...) {
        KT_TRACE("%s() exception\n", "CDataCell::SetValueByType");
    }
}

// ---- reading from a reply ----

bool CDataCell::ReadValue(CDataBufParser& parser) {
    const uint32_t nType = parser.ReadType();
    return ReadValue(parser, nType);
}

// ---- comparisons ----

bool CDataCell::Equal(const CDataCell& other) const {
    try {
        const uint32_t nOther = other.GetType();
        const bool bOtherNumericText = nOther == DT_STRING || nOther == DT_STRING3;
        if (IsIntegerFamily()) {
            if (other.IsIntegerFamily()) return m_value.n == static_cast<int64_t>(other.AsInt());
            if (other.IsFloatFamily() || bOtherNumericText)
                return std::fabs(other.AsDouble() - static_cast<double>(m_value.n)) < kEpsilon;
            return false;
        }
        if (IsFloatFamily()) {
            if (other.IsFloatFamily() || other.IsIntegerFamily() || bOtherNumericText)
                return std::fabs(m_value.d - other.AsDouble()) < kEpsilon;
            return false;
        }
        if (IsStringFamily()) {
            const std::u16string& strThis = m_value.p ? *m_value.p : std::u16string();
            if (other.IsStringFamily())
                return strThis == (other.m_value.p ? *other.m_value.p : std::u16string());
            if (nOther >= 0x100) return strThis == other.GetString();
            return false;
        }
        KT_DEBUG_ASSERT(!IsNoValueCode(m_nType));
        return false;
    } catch (...) {
        KT_TRACE("%s() exception\n", "CDataCell::Equal");
        return false;
    }
}

bool CDataCell::Less(const CDataCell& other) const {
    bool bResult = false;
    try {
        if (!IsValid()) return false;
        if (!other.IsValid()) return true;
        const uint32_t nOther = other.GetType();
        const bool bOtherNumericText = nOther == DT_STRING || nOther == DT_STRING3;
        if (IsIntegerFamily()) {
            if (other.IsIntegerFamily()) return m_value.n < static_cast<int64_t>(other.AsInt());
            if (other.IsFloatFamily() || bOtherNumericText)
                return other.AsDouble() - static_cast<double>(m_value.n) > kEpsilon;
            KT_DEBUG_ASSERT(false);
            return false;
        }
        if (IsFloatFamily()) {
            if (other.IsFloatFamily() || other.IsIntegerFamily() || bOtherNumericText)
                return other.AsDouble() - m_value.d > kEpsilon;
            KT_DEBUG_ASSERT(false);
            return false;
        }
        if (IsStringFamily()) {
            if (other.IsStringFamily())
                return CompareTextIgnoreWidth(
                           m_value.p ? *m_value.p : std::u16string(),
                           other.m_value.p ? *other.m_value.p : std::u16string()) < 0;
            KT_DEBUG_ASSERT(false);
            return false;
        }
        KT_DEBUG_ASSERT(false);
    } catch (...) {
        KT_TRACE("%s() exception\n", "CDataCell::Less");
    }
    return bResult;
}

bool CDataCell::Greater(const CDataCell& other) const {
    if (!IsValid()) return false;
    if (!other.IsValid()) return true;
    if (IsStringFamily()) {
        if (!m_value.p || m_value.p->empty()) return false;
        if (other.IsStringFamily() && (!other.m_value.p || other.m_value.p->empty())) return true;
    }
    return !Less(other) && !Equal(other);
}

bool CDataCell::GreaterOrEqual(const CDataCell& other) const {
    if (!IsValid()) return false;
    if (!other.IsValid()) return true;
    return !Less(other);
}

bool CDataCell::Contains(const CDataCell& other) const {
    if (IsStringFamily() && other.IsStringFamily()) {
        const std::u16string& strThis = m_value.p ? *m_value.p : std::u16string();
        const std::u16string& strOther = other.m_value.p ? *other.m_value.p : std::u16string();
        return strThis.find(strOther) != std::u16string::npos;
    }
    return Equal(other);
}

// ---- arithmetic ----

bool CDataCell::AddOrSubtract(const CDataCell& other, bool bSubtract) {
    const uint32_t nThis = GetType();
    const uint32_t nOther = other.GetType();
    auto combine = [bSubtract](int64_t a, int64_t b) {
        return bSubtract ? WrapSub(a, b) : WrapAdd(a, b);
    };
    if (nThis == DT_INTEGER) {
        if (nOther == DT_INTEGER || nOther == DT_YEAR) {
            m_value.n = combine(m_value.n, other.AsInt());
            return true;
        }
        if (other.IsFloatFamily()) {
            if (bSubtract)
                KT_TRACE("%s() DT_INTEGER - DT_DOUBLE warn\n", "CDataCell::operator-=");
            else
                KT_TRACE("%s() DT_INTEGER + DT_DOUBLE warn\n", "CDataCell::operator+=");
            if (other.IsValid()) m_value.n = combine(m_value.n, other.AsInt());
            return true;
        }
        return false;
    }
    if (nThis == DT_YEAR) {
        if (nOther != DT_INTEGER) return false;
        m_value.n = combine(m_value.n, other.AsInt());
        return true;
    }
    if (IsFloatFamily()) {
        if (other.IsFloatFamily()) {
            if (other.IsValid()) m_value.d += bSubtract ? -other.AsDouble() : other.AsDouble();
            return true;
        }
        if (nOther == DT_INTEGER) {
            m_value.d += bSubtract ? -other.AsDouble() : other.AsDouble();
            return true;
        }
        return false;
    }
    if (!bSubtract && (nThis == DT_STRING || nThis == DT_STRING3)) {
        const std::u16string strOther = other.GetString();
        if (!m_value.p) {
            KT_DEBUG_ASSERT(m_value.p);
            m_value.p = new std::u16string(strOther);
            return true;
        }
        if (!m_value.p->empty() && m_value.p->back() == u'\0') m_value.p->pop_back();
        m_value.p->append(strOther);
        return true;
    }
    return false;
}

bool CDataCell::operator+=(const CDataCell& other) {
    return AddOrSubtract(other, false);
}

bool CDataCell::operator-=(const CDataCell& other) {
    return AddOrSubtract(other, true);
}

bool CDataCell::operator*=(const CDataCell& other) {
    if (GetType() == DT_INTEGER && other.IsIntegerFamily()) {
        m_value.n = WrapMul(m_value.n, other.AsInt());
        return true;
    }
    if (IsFloatFamily() && other.IsFloatFamily()) {
        m_value.d *= other.AsDouble();
        return true;
    }
    return false;
}

bool CDataCell::operator/=(double dDivisor) {
    if (!(dDivisor > kMinDivisor)) return false;
    if (GetType() == DT_INTEGER) {
        m_value.n = TruncToInt64(static_cast<double>(m_value.n) / dDivisor);
        return true;
    }
    if (IsFloatFamily()) {
        m_value.d /= dDivisor;
        return true;
    }
    return false;
}

bool CDataCell::operator/=(const CDataCell& other) {
    if (IsIntegerFamily()) {
        if (other.IsIntegerFamily() && other.AsInt() != 0) {
            m_value.n = WrapDiv(m_value.n, other.AsInt());
            return true;
        }
        if (other.IsFloatFamily()) {
            const double d = other.AsDouble();
            if (d >= -kZeroBand && d <= kZeroBand) return false;
            m_value.n = TruncToInt64(static_cast<double>(m_value.n) / d);
            return true;
        }
        return false;
    }
    if (IsFloatFamily()) {
        if (other.IsIntegerFamily() && other.AsInt() != 0) {
            m_value.d /= other.AsInt();
            return true;
        }
        if (other.IsFloatFamily()) {
            const double d = other.AsDouble();
            if (d >= -kZeroBand && d <= kZeroBand) return false;
            m_value.d /= d;
            return true;
        }
    }
    return false;
}

bool CDataCell::Abs() {
    if (IsIntegerFamily()) {
        if (m_value.n < 0) m_value.n = WrapSub(0, m_value.n);
        return true;
    }
    if (IsFloatFamily()) {
        m_value.d = std::fabs(m_value.d);
        return true;
    }
    return false;
}

bool CDataCell::Round() {
    if (!IsFloatFamily()) return false;
    m_value.n = TruncToInt64(m_value.d + 0.5);
    m_nType = DT_INTEGER;
    return true;
}

bool CDataCell::Square() {
    if (GetType() == DT_INTEGER) {
        m_value.n = WrapMul(m_value.n, m_value.n);
        return true;
    }
    if (IsFloatFamily()) {
        m_value.d *= m_value.d;
        return true;
    }
    return false;
}

bool CDataCell::ApplyMath(double (*pfn)(double)) {
    if (GetType() == DT_INTEGER) {
        m_value.d = pfn(static_cast<double>(m_value.n));
        m_nType = DT_DOUBLE;
        return true;
    }
    if (IsFloatFamily()) {
        m_value.d = pfn(m_value.d);
        return true;
    }
    return false;
}

bool CDataCell::Sqrt() {
    return ApplyMath([](double d) { return std::sqrt(d); });
}
bool CDataCell::Log() {
    return ApplyMath([](double d) { return std::log(d); });
}
bool CDataCell::Log10() {
    return ApplyMath([](double d) { return std::log10(d); });
}
bool CDataCell::Exp() {
    return ApplyMath([](double d) { return std::exp(d); });
}
bool CDataCell::Sin() {
    return ApplyMath([](double d) { return std::sin(d); });
}
bool CDataCell::Cos() {
    return ApplyMath([](double d) { return std::cos(d); });
}
bool CDataCell::Tan() {
    return ApplyMath([](double d) { return std::tan(d); });
}
bool CDataCell::Cot() {
    return ApplyMath([](double d) { return 1.0 / std::tan(d); });
}

bool CDataCell::Not() {
    // Only yes/no values have a logical opposite; the other integer codes are quantities.
    if (GetType() != DT_BOOL) return false;
    m_value.n = m_value.n == 0 ? 1 : 0;
    return true;
}

}  // namespace kt
