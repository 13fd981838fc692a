// CDataCell: the typed value of every table cell, table property and column attribute.
//
// A cell is 16 bytes: a 32-bit type word (type code in bits 0-23, a flag byte for the cell's user
// in bits 24-31) and one 8-byte slot holding a 64-bit integer, a double, or an owning pointer to a
// UTF-16 string, chosen by the family bits of the code. Numeric cells never touch the heap.
//
// Text ordering (Less between two text cells): width-insensitive. Full-width forms U+FF01..U+FF5E
// are folded to U+0021..U+007E and the ideographic space U+3000 to U+0020, then the two texts are
// compared with glibc's wcscoll_l in the user's default collation locale (LC_ALL / LC_COLLATE /
// LANG, as the environment gives it, opened once per process); a locale that cannot be opened, or
// the C/POSIX locale, orders by code point. Equal, by contrast, compares texts exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "datatable/databufparser.h"
#include "datatable/datatypes.h"
#include "datatable/datetime.h"

namespace kt {

class CDataCell {
public:
    // A text code gets a new empty string, any other code a zero value.
    explicit CDataCell(uint32_t nType = DT_EMPTY) : m_nType(nType) {
        m_value.n = 0;
        if (nType & DT_FAMILY_STRING) m_value.p = new std::u16string();
    }
    CDataCell(const CDataCell& other);
    CDataCell(CDataCell&& other) noexcept;
    CDataCell& operator=(const CDataCell& other);
    CDataCell& operator=(CDataCell&& other) noexcept;
    ~CDataCell() { ReleaseText(); }

    // Direct setters for the numeric families (the wire and text setters are below). The type
    // word becomes the code; a held string is released.
    void SetInteger(int64_t nValue, uint32_t nType = DT_INTEGER);
    void SetDouble(double dValue, uint32_t nType = DT_DOUBLE);
    // Requires a text code (debug assertion otherwise; the cell is then left as it was).
    void SetString(std::u16string_view strText, uint32_t nType = DT_STRING);
    // Releases a text value, zeroes the slot and the type word.
    void Clear();

    uint32_t GetType() const { return m_nType & DT_CODE_MASK; }
    uint32_t GetTypeWord() const { return m_nType; }
    // The flag byte in place (bits 24-31 of the type word).
    uint32_t GetFlags() const { return m_nType & DT_FLAGS_MASK; }
    // The type word becomes the code ORed with the flag bits given in place (bits 24-31).
    void SetFlags(uint32_t nFlags) { m_nType = GetType() | (nFlags & DT_FLAGS_MASK); }

    bool IsIntegerFamily() const { return (m_nType & DT_FAMILY_INTEGER) != 0; }
    bool IsFloatFamily() const { return (m_nType & DT_FAMILY_FLOAT) != 0; }
    bool IsStringFamily() const { return (m_nType & DT_FAMILY_STRING) != 0; }
    bool IsDateFamily() const {
        return IsIntegerFamily() && (m_nType & DT_FAMILY_DATE) == DT_FAMILY_DATE;
    }
    bool IsValid() const;

    // The raw slot (for writers and inspectors): integer family, floating family, text family.
    int64_t GetInt64() const { return IsIntegerFamily() ? m_value.n : 0; }
    double GetDoubleValue() const { return IsFloatFamily() ? m_value.d : 0.0; }
    const std::u16string* GetText() const { return IsStringFamily() ? m_value.p : nullptr; }

    int32_t AsInt() const;
    double AsDouble() const;
    CDateTime ToDateTime() const;

    std::u16string GetString() const;
    // printf-style format with the one argument (three for dates) that the family gives. A format
    // whose conversions do not fit the argument gives the empty text instead of undefined output.
    std::u16string GetString(const char16_t* lpszFormat) const;
    // The value through the format; a leading "," asks for thousands separators.
    static std::u16string FormatNumber(double dValue, const char16_t* lpszFormat);
    // Style 0 "%Y-%m-%d", 1 "%m/%d/%Y", 2 "%Y%m%d"; only for the time and date codes.
    std::u16string GetDateString(int nStyle) const;
    static std::u16string GetDefaultFormat(uint32_t nType);

    void SetValueByType(std::u16string_view strText, uint32_t nType);

    // Reads one value of the code (or a type index and then its value). True when the cell ended
    // up with type word 0.
    // Inline: this is the inner loop of every table parse.
    bool ReadValue(CDataBufParser& parser, uint32_t nType) {
        ReleaseText();
        m_nType = nType;
        if ((nType & DT_CODE_MASK) < 0x100) {
            m_nType = DT_EMPTY;
            m_value.n = 0;
        } else if (nType & DT_FAMILY_INTEGER) {
            m_value.n = parser.ReadInt();
        } else if (nType & DT_FAMILY_STRING) {
            m_value.p = new std::u16string();
            ReadTextOrThrow(parser, *m_value.p);
        } else if ((nType & DT_CODE_MASK) == DT_DOUBLE) {
            parser.ReadDouble(m_value.d);
        } else if (nType & DT_FAMILY_FLOAT) {
            parser.ReadFloat(m_value.d);
        }
        return m_nType == DT_EMPTY;
    }
    bool ReadValue(CDataBufParser& parser);

    bool Equal(const CDataCell& other) const;
    bool Less(const CDataCell& other) const;
    bool Greater(const CDataCell& other) const;
    bool GreaterOrEqual(const CDataCell& other) const;
    bool Contains(const CDataCell& other) const;

    bool operator==(const CDataCell& other) const { return Equal(other); }
    bool operator!=(const CDataCell& other) const { return !Equal(other); }
    bool operator<(const CDataCell& other) const { return Less(other); }
    bool operator>(const CDataCell& other) const { return Greater(other); }
    bool operator>=(const CDataCell& other) const { return GreaterOrEqual(other); }

    // Arithmetic: true when the combination of types is supported; false leaves the cell as it
    // was.
    bool operator+=(const CDataCell& other);
    bool operator-=(const CDataCell& other);
    bool operator*=(const CDataCell& other);
    bool operator/=(double dDivisor);
    bool operator/=(const CDataCell& other);

    bool Abs();
    bool Round();
    bool Square();
    bool Sqrt();
    bool Log();
    bool Log10();
    bool Exp();
    bool Sin();
    bool Cos();
    bool Tan();
    bool Cot();
    // Yes/no values only: 0 becomes 1, anything else 0.
    bool Not();

private:
    union Value {
        int64_t n;
        double d;
        std::u16string* p;
    };

    void ReleaseText() {
        if (IsStringFamily()) {
            delete m_value.p;
            m_value.n = 0;
        }
    }
    bool AddOrSubtract(const CDataCell& other, bool bSubtract);
    bool ApplyMath(double (*pfn)(double));

    uint32_t m_nType;
    Value m_value;
};

// Width-insensitive collation of two texts: <0, 0 or >0 (see the top of this file).
int CompareTextIgnoreWidth(std::u16string_view strLeft, std::u16string_view strRight);

}  // namespace kt
