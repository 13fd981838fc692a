#include "datatable/replyreader.h"

#include <exception>
#include <limits>
#include <new>
#include <string>

#include "platform/msgbox.h"
#include "platform/trace.h"

namespace kt {

int ReadReplyTable(const char* pData, size_t nLen, std::unique_ptr<CDataTable>& pTable) {
    if (!pData || nLen == 0) return kReplyNoData;
    if (pTable) return kReplyTableNotEmpty;
    try {
        pTable.reset(new CDataTable());
        // The parser counts in 32 bits; a reply beyond that cannot be one of ours.
        if (nLen > std::numeric_limits<uint32_t>::max()) {
            MessageBox(kReplyFormatErrorText);
            return kReplyBadData;
        }
        CDataBufParser parser(pData, static_cast<uint32_t>(nLen));
        parser.ReadInt();
        parser.ReadInt();
        parser.ReadInt();

        int32_t nStatus = 0;
        std::u16string strMessage;
        for (int nField = 0; nField < 2 && nStatus == 0; ++nField) {
            std::u16string strName;
            if (ReadTextOrThrow(parser, strName) != 0) {
                MessageBox(kReplyFormatErrorText);
                return kReplyBadData;
            }
            const uint32_t nType = parser.ReadType();
            if (nType == DT_INTEGER) {
                nStatus = parser.ReadInt();
                if (nStatus < 0) {
                    ReadTextOrThrow(parser, strName);
                    if (parser.ReadType() == DT_STRING) ReadTextOrThrow(parser, strMessage);
                }
            } else if (nType == DT_STRING) {
                ReadTextOrThrow(parser, strMessage);
            } else {
                KT_DEBUG_ASSERT(nType == DT_INTEGER || nType == DT_STRING);
                nStatus = -1;
            }
        }
        if (nStatus != 0) {
            pTable.reset();
            MessageBox(strMessage);
            return kReplyBadData;
        }
        std::u16string strName;
        ReadTextOrThrow(parser, strName);
        // The parse result is not a verdict on the reply, except that memory ran out.
        if (parser.ReadType() == DT_TABLE &&
            pTable->ParseBuffer(parser.GetCurrent(), parser.GetRemain()) ==
                CDataTable::kParseOutOfMemory) {
            pTable.reset();
            return kReplyException;
        }
        pTable->BuildColumnIndex();
        return kReplyOk;
    } catch (const std::exception& e) {
        KT_TRACE("%s() exception: %s\n", "ReadReplyTable", e.what());
    } catch (...) {
        KT_TRACE("%s() exception\n", "ReadReplyTable");
    }
    pTable.reset();
    return kReplyException;
}

int ReadReplyTable(const char* pData, size_t nLen, CDataTable*& pTable) {
    if (!pData || nLen == 0) return kReplyNoData;
    if (pTable) return kReplyTableNotEmpty;
    std::unique_ptr<CDataTable> pOwned;
    const int nResult = ReadReplyTable(pData, nLen, pOwned);
    pTable = pOwned.release();
    return nResult;
}

}  // namespace kt
