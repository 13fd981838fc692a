#include "datatable/databufparser.h"

#include <cstdio>
#include <memory>
#include <new>

#include "datatable/datatypes.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace kt {
namespace {

constexpr uint32_t kWireTypes[18] = {
    DT_EMPTY,       DT_RESERVED1,    DT_RESERVED2, DT_TABLE,   DT_STRING, DT_INTEGER,
    DT_DOUBLE,      DT_FLOAT,        DT_TIME,      DT_DATE,    DT_BOOL,   DT_STRING1,
    DT_DATE_NUMBER, DT_DATE_NUMBER2, DT_YEAR,      DT_STRING2, DT_FLOAT2, DT_STRING3};

struct FileCloser {
    void operator()(FILE* p) const { std::fclose(p); }
};

}  // namespace

CDataBufParser::CDataBufParser(const void* pBuf, uint32_t nSize)
    : m_pBuf(static_cast<uint8_t*>(const_cast<void*>(pBuf))),
      m_pCur(m_pBuf),
      m_nSize(pBuf ? nSize : 0) {}

CDataBufParser::~CDataBufParser() {
    Release();
}

void CDataBufParser::Release() {
    if (m_bOwned) delete[] m_pBuf;
    m_bOwned = 0;
    m_pBuf = m_pCur = nullptr;
    m_nSize = 0;
}

int CDataBufParser::LoadFromFile(std::u16string_view strPath) {
    Release();
    std::unique_ptr<FILE, FileCloser> pFile(OpenFile(strPath, "rb"));
    if (!pFile) return -13;
    if (std::fseek(pFile.get(), 0, SEEK_END) != 0) return -13;
    const long nLength = std::ftell(pFile.get());
    // The length is a 32-bit count; what does not fit one cannot be held.
    if (nLength < 0 || static_cast<unsigned long>(nLength) > 0xFFFFFFFFul) return -8;
    std::fseek(pFile.get(), 0, SEEK_SET);
    uint8_t* pBuf = new (std::nothrow) uint8_t[nLength > 0 ? nLength : 1];
    if (!pBuf) return -8;
    const size_t nRead = std::fread(pBuf, 1, static_cast<size_t>(nLength), pFile.get());
    m_bOwned = 1;
    m_pBuf = m_pCur = pBuf;
    // A file that shrank while being read is taken as far as it was read.
    m_nSize = static_cast<uint32_t>(nRead);
    return 0;
}

int CDataBufParser::ReadString(std::u16string& strOut) {
    const int32_t n = ReadInt();
    if (n < 0 || static_cast<uint32_t>(n) > GetRemain()) {
        KT_DEBUG_ASSERT(n >= 0 && static_cast<uint32_t>(n) <= GetRemain());
        return -1;
    }
    const char* p = reinterpret_cast<const char*>(m_pCur);
    try {
        // Plain ASCII is the same in UTF-8 and needs no trip through the converter.
        bool bAscii = AnsiIsUtf8();
        for (int32_t i = 0; bAscii && i < n; ++i) bAscii = static_cast<unsigned char>(p[i]) < 0x80;
        if (bAscii) {
            strOut.resize(static_cast<size_t>(n));
            for (int32_t i = 0; i < n; ++i) strOut[i] = static_cast<char16_t>(p[i]);
        } else {
            strOut = FromAnsi(std::string_view(p, static_cast<size_t>(n)));
        }
    } catch (const std::bad_alloc&) {
        return -8;
    }
    m_pCur += n;
    return 0;
}

bool CDataBufParser::WriteInt(int32_t nValue) {
    if (!m_pBuf || GetRemain() < 5) {
        KT_DEBUG_ASSERT(m_pBuf && GetRemain() >= 5);
        return false;
    }
    m_pCur += EncodeInt(nValue, m_pCur);
    return true;
}

bool CDataBufParser::WriteFloat(float fValue) {
    if (!m_pBuf || GetRemain() < sizeof(fValue)) {
        KT_DEBUG_ASSERT(m_pBuf && GetRemain() >= sizeof(fValue));
        return false;
    }
    std::memcpy(m_pCur, &fValue, sizeof(fValue));
    m_pCur += sizeof(fValue);
    return true;
}

bool CDataBufParser::WriteDouble(double dValue) {
    if (!m_pBuf || GetRemain() < sizeof(dValue)) {
        KT_DEBUG_ASSERT(m_pBuf && GetRemain() >= sizeof(dValue));
        return false;
    }
    std::memcpy(m_pCur, &dValue, sizeof(dValue));
    m_pCur += sizeof(dValue);
    return true;
}

int CDataBufParser::WriteString(std::u16string_view strText) {
    const std::string strAnsi = ToAnsi(strText);
    if (strAnsi.size() > 0x7FFFFFFFu || !WriteInt(static_cast<int32_t>(strAnsi.size()))) return -1;
    if (GetRemain() < strAnsi.size()) {
        KT_DEBUG_ASSERT(GetRemain() >= strAnsi.size());
        return -1;
    }
    std::memcpy(m_pCur, strAnsi.data(), strAnsi.size());
    m_pCur += strAnsi.size();
    return 0;
}

bool CDataBufParser::WriteType(uint32_t nType) {
    const int32_t nIndex = IndexFromType(nType);
    KT_DEBUG_ASSERT(nIndex != 0 || nType == DT_EMPTY);
    return WriteInt(nIndex);
}

size_t CDataBufParser::EncodeInt(int32_t nValue, uint8_t* pOut) {
    size_t nLen = 5;
    if (nValue >= -64 && nValue <= 63) {
        nLen = 1;
    } else if (nValue >= -8192 && nValue <= 8191) {
        nLen = 2;
    } else if (nValue >= -1048576 && nValue <= 1048575) {
        nLen = 3;
    } else if (nValue >= -134217728 && nValue <= 134217727) {
        nLen = 4;
    }
    for (size_t i = 0; i < nLen; ++i) {
        const int nShift = static_cast<int>(7 * (nLen - 1 - i));
        pOut[i] = static_cast<uint8_t>((nValue >> nShift) & 0x7F);
    }
    pOut[nLen - 1] |= 0x80;
    return nLen;
}

uint32_t CDataBufParser::TypeFromIndex(int32_t nIndex) {
    return nIndex >= 0 && nIndex < 18 ? kWireTypes[nIndex] : DT_EMPTY;
}

int32_t CDataBufParser::IndexFromType(uint32_t nType) {
    for (int32_t i = 17; i >= 1; --i)
        if (kWireTypes[i] == nType) return i;
    return 0;
}

}  // namespace kt
