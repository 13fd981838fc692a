// CDataBufParser: a cursor over one buffer of the family's binary table format. It reads and
// writes the format's five primitives:
//   - stop-bit integer: a signed 32-bit value in 1 to 5 bytes, seven value bits per byte, most
//     significant group first, bit 7 set in the last byte, sign taken from bit 6 of the first;
//   - float (4 bytes) and double (8 bytes), IEEE-754 little endian;
//   - text: a stop-bit byte length, then that many bytes in the ANSI code page
//   (platform/codepage.h);
//   - type: a stop-bit wire index 0..17 of a type code.
// Reads never run past the end: a failed read reports it and consumes nothing (a rejected text
// consumes its length only). The parser reads a caller's buffer without owning it, or owns the
// buffer it loaded from a file. Not copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "platform/trace.h"

namespace kt {

class CDataBufParser {
public:
    CDataBufParser() = default;
    // Reads (and, when the memory is writable, writes) the caller's buffer; the buffer must
    // outlive the parser.
    CDataBufParser(const void* pBuf, uint32_t nSize);
    ~CDataBufParser();
    CDataBufParser(const CDataBufParser&) = delete;
    CDataBufParser& operator=(const CDataBufParser&) = delete;

    // Reads the whole file into an owned buffer: 0, -13 when it cannot be opened for reading, -8
    // when the buffer cannot be had.
    int LoadFromFile(std::u16string_view strPath);

    uint32_t GetRemain() const { return m_nSize - static_cast<uint32_t>(m_pCur - m_pBuf); }
    const uint8_t* GetCurrent() const { return m_pCur; }
    const uint8_t* GetBuffer() const { return m_pBuf; }
    uint32_t GetSize() const { return m_nSize; }
    bool IsOwner() const { return m_bOwned != 0; }

    // No buffer: -1 (debug assertion). No bytes left: 0. A number without a stop bit ends after
    // five bytes or at the end of the buffer all the same.
    int32_t ReadInt() {
        if (!m_pBuf) {
            KT_DEBUG_ASSERT(m_pBuf);
            return -1;
        }
        const uint32_t nLeft = GetRemain();
        if (nLeft == 0) return 0;
        const uint8_t* p = m_pCur;
        uint32_t nValue = (p[0] & 0x40) ? ~0u : 0u;
        const uint32_t nMax = nLeft < 5 ? nLeft : 5;
        uint32_t i = 0;
        do {
            const uint8_t b = p[i++];
            nValue = (nValue << 7) | (b & 0x7Fu);
            if (b & 0x80) break;
        } while (i < nMax);
        m_pCur += i;
        return static_cast<int32_t>(nValue);
    }
    // 0; -1 for a negative length or one past the end (the length stays consumed); -8 when the
    // text cannot be allocated. The output is untouched on failure.
    int ReadString(std::u16string& strOut);
    bool ReadFloat(double& dOut) {
        float f;
        if (!m_pBuf || GetRemain() < sizeof(f)) {
            KT_DEBUG_ASSERT(m_pBuf && GetRemain() >= sizeof(f));
            return false;
        }
        std::memcpy(&f, m_pCur, sizeof(f));
        m_pCur += sizeof(f);
        dOut = f;
        return true;
    }
    bool ReadDouble(double& dOut) {
        if (!m_pBuf || GetRemain() < sizeof(dOut)) {
            KT_DEBUG_ASSERT(m_pBuf && GetRemain() >= sizeof(dOut));
            return false;
        }
        std::memcpy(&dOut, m_pCur, sizeof(dOut));
        m_pCur += sizeof(dOut);
        return true;
    }
    // The code of the wire index; an index outside 0..17 is DT_EMPTY.
    uint32_t ReadType() { return TypeFromIndex(ReadInt()); }

    // Writes need the bytes free in the buffer: WriteInt wants five whatever the number's length.
    bool WriteInt(int32_t nValue);
    bool WriteFloat(float fValue);
    bool WriteDouble(double dValue);
    // 0, or -1 when the text does not fit (its length stays written).
    int WriteString(std::u16string_view strText);
    bool WriteType(uint32_t nType);

    // The stop-bit form of the value into pOut (room for 5 bytes); returns its length.
    static size_t EncodeInt(int32_t nValue, uint8_t* pOut);
    static uint32_t TypeFromIndex(int32_t nIndex);
    // The wire index of a code; 0 for DT_EMPTY and for codes the table does not have.
    static int32_t IndexFromType(uint32_t nType);

private:
    void Release();

    int32_t m_bOwned = 0;
    uint8_t* m_pBuf = nullptr;
    uint8_t* m_pCur = nullptr;
    uint32_t m_nSize = 0;
};

// ReadString for the readers of a whole section or reply, where running out of memory must end
// the read instead of leaving a text out and reading on from the wrong place: std::bad_alloc in
// place of -8, every other result as ReadString gives it.
inline int ReadTextOrThrow(CDataBufParser& parser, std::u16string& strOut) {
    const int nResult = parser.ReadString(strOut);
    if (nResult == -8) throw std::bad_alloc();
    return nResult;
}

}  // namespace kt
