#include "datatable/datetime.h"

#include <string>

#include "platform/codepage.h"

namespace kt {
namespace {

bool IsLeap(int nYear) {
    return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
}

int DaysInMonth(int nYear, int nMonth) {
    static const int s_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return nMonth == 2 && IsLeap(nYear) ? 29 : s_days[nMonth - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

CDateTime CDateTime::FromDate(int nYear, int nMonth, int nDay, int nHour, int nMinute,
                              int nSecond) {
    CDateTime dt;
    // The automation date covers the years 100 to 9999.
    if (nYear < 100 || nYear > 9999 || nMonth < 1 || nMonth > 12 || nDay < 1 ||
        nDay > DaysInMonth(nYear, nMonth) || nHour < 0 || nHour > 23 || nMinute < 0 ||
        nMinute > 59 || nSecond < 0 || nSecond > 59) {
        dt.m_eStatus = kInvalid;
        return dt;
    }
    dt.m_tm.tm_year = nYear - 1900;
    dt.m_tm.tm_mon = nMonth - 1;
    dt.m_tm.tm_mday = nDay;
    dt.m_tm.tm_hour = nHour;
    dt.m_tm.tm_min = nMinute;
    dt.m_tm.tm_sec = nSecond;
    const int64_t nDays =
        DaysFromCivil(nYear, static_cast<unsigned>(nMonth), static_cast<unsigned>(nDay));
    dt.m_tm.tm_wday = static_cast<int>(((nDays % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    dt.m_tm.tm_yday = static_cast<int>(nDays - DaysFromCivil(nYear, 1, 1));
    dt.m_tm.tm_isdst = -1;
    dt.m_eStatus = kValid;
    return dt;
}

CDateTime CDateTime::FromUnixLocal(int64_t nSeconds) {
    CDateTime dt;
    const time_t t = static_cast<time_t>(nSeconds);
    if (!localtime_r(&t, &dt.m_tm) || dt.m_tm.tm_year + 1900 < 100 ||
        dt.m_tm.tm_year + 1900 > 9999) {
        dt.m_tm = std::tm{};
        dt.m_eStatus = kInvalid;
        return dt;
    }
    dt.m_eStatus = kValid;
    return dt;
}

std::u16string CDateTime::Format(const char16_t* lpszFormat) const {
    if (m_eStatus == kInvalid) return u"Invalid DateTime";
    if (m_eStatus == kNull || !lpszFormat || !*lpszFormat) return std::u16string();
    const std::string strFormat = ToUtf8(lpszFormat);
    // strftime answers 0 both for "too small" and for an empty result; a marker character tells
    // the two apart.
    const std::string strMarked = strFormat + "\x01";
    std::string strOut(strMarked.size() * 8 + 64, '\0');
    for (int nTry = 0; nTry < 6; ++nTry) {
        const size_t n = std::strftime(strOut.data(), strOut.size(), strMarked.c_str(), &m_tm);
        if (n > 0) {
            strOut.resize(n - 1);
            return FromUtf8(strOut);
        }
        strOut.resize(strOut.size() * 4);
    }
    return std::u16string();
}

}  // namespace kt
