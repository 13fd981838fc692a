// The calendar value a cell converts to: a broken-down local date and time with the three states
// of the family's automation date (valid, invalid, empty). Formatting uses the C runtime's
// strftime language ("%Y", "%m", "%d", "%H", ...).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kt {

class CDateTime {
public:
    enum EStatus { kValid = 0, kInvalid = 1, kNull = 2 };

    // The empty (zero) value.
    CDateTime() = default;

    // A calendar date and time; a date the calendar does not have gives an invalid value.
    static CDateTime FromDate(int nYear, int nMonth, int nDay, int nHour = 0, int nMinute = 0,
                              int nSecond = 0);
    // Seconds since 1970-01-01 00:00 UTC in local time.
    static CDateTime FromUnixLocal(int64_t nSeconds);

    EStatus GetStatus() const { return m_eStatus; }
    int GetYear() const { return m_tm.tm_year + 1900; }
    int GetMonth() const { return m_tm.tm_mon + 1; }
    int GetDay() const { return m_tm.tm_mday; }
    int GetHour() const { return m_tm.tm_hour; }
    int GetMinute() const { return m_tm.tm_min; }
    int GetSecond() const { return m_tm.tm_sec; }

    // Valid values through strftime; an invalid one is "Invalid DateTime", the empty one "".
    std::u16string Format(const char16_t* lpszFormat) const;

private:
    std::tm m_tm{};
    EStatus m_eStatus = kNull;
};

}  // namespace kt
