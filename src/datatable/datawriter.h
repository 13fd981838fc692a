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

// A reply envelope: three leading words and an integer status field ("status"). A negative
// status is followed by its message (a "message" name, DT_STRING, the text); status 0 by a second
// field ("message", DT_STRING, the text) and the payload field ("data"), whose type is DT_TABLE
// with the table section after it when a table is given, DT_EMPTY and nothing after it otherwise.
// A positive status ends the envelope.
std::string WriteReplyEnvelope(const CDataTable* pTable, int32_t nStatus = 0,
                               std::u16string_view strMessage = u"");

}  // namespace kt
