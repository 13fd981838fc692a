// Producing the binary table format: a growing buffer with the parser's five primitives, and the
// table section and reply envelope of a CDataTable. What is written here reads back through
// CDataTable::Parse and ReadReplyTable unchanged (texts within what the ANSI code page can hold).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "datatable/datatable.h"

namespace kt {

class CDataBufWriter {
public:
    void WriteInt(int32_t nValue);
    void WriteFloat(float fValue);
    void WriteDouble(double dValue);
    // The text in the ANSI code page with its byte length in front.
    void WriteString(std::u16string_view strText);
    // Bytes already in the ANSI code page, with their length in front.
    void WriteAnsiString(std::string_view strAnsi);
    void WriteType(uint32_t nType);
    // The cell's value encoded by the given code's family (no type index).
    void WriteValue(const CDataCell& cell, uint32_t nType);
    // A type index, then the value by the cell's own code.
    void WriteTypedValue(const CDataCell& cell);
    void WriteBytes(const void* pData, size_t nLen);

    const std::string& GetBuffer() const { return m_buf; }
    size_t GetSize() const { return m_buf.size(); }
    void Reset() { m_buf.clear(); }

private:
    std::string m_buf;
};

// The table section: two header words, the counts, properties, heads and rows (each row with its
// byte length in front). Rows are written m_nCols cells wide by their column's code.
std::string WriteTableSection(const CDataTable& table, int32_t nHeader1 = 0, int32_t nHeader2 = 0);

// A reply envelope: three leading words, then one integer status field ("status"); a negative
// status carries the message as a text field ("message"). With status 0 the payload field
// ("data") has the type DT_TABLE and the table section follows when a table is given; without
// one it has the type DT_EMPTY and nothing follows.
std::string WriteReplyEnvelope(const CDataTable* pTable, int32_t nStatus = 0,
                               std::u16string_view strMessage = u"");

}  // namespace kt
