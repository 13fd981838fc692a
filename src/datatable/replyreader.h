// The reader of a server's table reply: the reply envelope (status and message fields) and then
// the table section it carries. This is the reading half of the WinInet pool's GetReplyTable; the
// pool takes a copy of the reply and hands its bytes here.
//
//   int ReadReplyTable(const char* pData, size_t nLen, std::unique_ptr<CDataTable>& pTable);
//   int ReadReplyTable(const char* pData, size_t nLen, CDataTable*& pTable);
//
// pTable must be empty on entry. Results:
//    0  the table is in pTable (an envelope whose payload is not a table gives an empty table);
//       its column index is built;
//   -6  pTable already held a table: nothing is read and the table is left alone;
//   -7  no reply bytes (null data or length 0);
//   -8  the leading fields cannot be read: the message box kReplyFormatErrorText is shown and the
//       new (empty) table stays in pTable; or the server reported an error: its message is shown
//       as sent (an empty box when it sent none), the table is deleted and pTable cleared;
//  -100 an exception while reading: the table is deleted and pTable cleared.
// Message boxes go through kt::MessageBox (platform/msgbox.h) on the calling thread. The bytes
// stay the caller's in every case; the pool frees its reply copy after the call (except on -7,
// where it has none).
#pragma once

#include <cstddef>
#include <memory>

#include "datatable/datatable.h"

namespace kt {

inline constexpr int kReplyOk = 0;
inline constexpr int kReplyTableNotEmpty = -6;
inline constexpr int kReplyNoData = -7;
inline constexpr int kReplyBadData = -8;
inline constexpr int kReplyException = -100;

// "The reply data has the wrong format; check that you are connected to the right server and try
// again."
inline constexpr char16_t kReplyFormatErrorText[] =
    u"返回数据格式有误，请确认是否连接到正确的服务器后再重试。";

int ReadReplyTable(const char* pData, size_t nLen, std::unique_ptr<CDataTable>& pTable);
// The same for owners of a raw pointer (allocated with new; the caller deletes it).
int ReadReplyTable(const char* pData, size_t nLen, CDataTable*& pTable);

}  // namespace kt
