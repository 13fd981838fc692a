#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "hex.h"
#include "support/failalloc.h"
#include "support/scoped.h"

using namespace kt;
using kttest::Hex;
using kttest::ToHex;

namespace {

// Three leading words, "status" DT_INTEGER 0, "message" DT_STRING "", "data" DT_EMPTY.
const char* const kEmptyReplyHex =
    "80 80 80 86 73 74 61 74 75 73 85 80 87 6D 65 73 73 61 67 65 84 80 84 64 61 74 61 80";

int Read(const std::string& str, std::unique_ptr<CDataTable>& pTable) {
    return ReadReplyTable(kttest::ExactCopy(str).get(), str.size(), pTable);
}

using Boxes = std::vector<std::u16string>;

}  // namespace

TEST(ReplyReader, StatusZeroWithATable) {
    const std::string str = WriteReplyEnvelope(nullptr, 0, u"");
    EXPECT_EQ(ToHex(str), kEmptyReplyHex);
    // A payload other than a table: result 0, an empty indexed table.
    kttest::CMessageBoxLog boxes;
    std::unique_ptr<CDataTable> pEmpty;
    EXPECT_EQ(Read(str, pEmpty), kReplyOk);
    ASSERT_TRUE(pEmpty);
    EXPECT_EQ(pEmpty->GetColCount(), 0);
    EXPECT_EQ(pEmpty->m_bIndexed, 1);

    CDataTable table(3, 4);
    table.m_vecHeads.resize(4);
    const uint32_t types[4] = {DT_DATE, DT_STRING3, DT_FLOAT2, DT_BOOL};
    const char16_t* names[4] = {u"日期", u"名称", u"价格", u"ok"};
    for (int c = 0; c < 4; ++c) {
        table.m_vecHeads[c].m_strName = names[c];
        table.m_vecHeads[c].m_nType = types[c];
        table.m_vecHeads[c].m_mapAttrs[u"width"].SetInteger(c);
    }
    table.m_mapProps[u"version"].SetString(u"v1", DT_STRING1);
    for (int r = 0; r < 3; ++r) {
        table.GetCell(r, 0)->SetInteger(20240101 + r, DT_DATE);
        table.GetCell(r, 1)->SetString(u"第" + std::u16string(1, u'1' + r) + u"行", DT_STRING3);
        table.GetCell(r, 2)->SetDouble(r + 0.25, DT_FLOAT2);
        table.GetCell(r, 3)->SetInteger(r % 2, DT_BOOL);
    }
    const std::string strReply = WriteReplyEnvelope(&table);
    // The same envelope with DT_TABLE as the payload type, then the table section.
    EXPECT_EQ(strReply, str.substr(0, str.size() - 1) + '\x83' + WriteTableSection(table));
    std::unique_ptr<CDataTable> pTable;
    ASSERT_EQ(Read(strReply, pTable), kReplyOk);
    EXPECT_EQ(WriteTableSection(*pTable), WriteTableSection(table));
    EXPECT_EQ(kttest::Cells(*pTable),
              u"2024-01-01,第1行,0.2500,否|2024-01-02,第2行,1.2500,是|2024-01-03,第3行,2.2500,否");
    EXPECT_EQ(pTable->m_bIndexed, 1);
    EXPECT_EQ(pTable->FindColumn(u"价格"), 2);
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST(ReplyReader, ServerErrorsShowTheirMessageAsSent) {
    const std::pair<std::string, const char16_t*> cases[] = {
        {WriteReplyEnvelope(nullptr, -1, u"服务器忙"), u"服务器忙"},
        // A positive status ends the envelope: an error without a message.
        {WriteReplyEnvelope(nullptr, 5), u""},
        // s = -3, then a message field m of DT_STRING1 "x": not a message, an empty box.
        {Hex("80 80 80 81 73 85 FD 81 6D 8B 81 78"), u""},
        // A DT_STRING first field is kept as the message for an error in the second: s = 2.
        {Hex("80 80 80 81 6D 84 84 6B 65 70 74 81 73 85 82"), u"kept"},
        // A status field of another type (DT_DOUBLE 1.0) is an error of its own.
        {Hex("80 80 80 81 73 86 00 00 00 00 00 00 F0 3F"), u""}};
    for (const auto& [strReply, pszBox] : cases) {
        SCOPED_TRACE(ToHex(strReply));
        kttest::CMessageBoxLog boxes;
        std::unique_ptr<CDataTable> pTable;
        EXPECT_EQ(Read(strReply, pTable), kReplyBadData);
        EXPECT_FALSE(pTable);
        EXPECT_EQ(boxes.Texts(), Boxes{pszBox});
    }
}

TEST(ReplyReader, ArgumentsAndRawPointerForm) {
    kttest::CMessageBoxLog boxes;
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(ReadReplyTable(nullptr, 10, pTable), kReplyNoData);
    EXPECT_EQ(ReadReplyTable("x", 0, pTable), kReplyNoData);
    EXPECT_FALSE(pTable);

    const std::string str = Hex(kEmptyReplyHex);
    auto pExisting = std::make_unique<CDataTable>(2, 2);
    CDataTable* pRawExisting = pExisting.get();
    EXPECT_EQ(Read(str, pExisting), kReplyTableNotEmpty);
    EXPECT_EQ(pExisting.get(), pRawExisting);
    EXPECT_EQ(pExisting->GetRowCount(), 2);

    CDataTable* pRaw = pRawExisting;
    EXPECT_EQ(ReadReplyTable(str.data(), str.size(), pRaw), kReplyTableNotEmpty);
    EXPECT_EQ(pRaw, pRawExisting);
    pRaw = nullptr;
    EXPECT_EQ(ReadReplyTable(str.data(), str.size(), pRaw), kReplyOk);
    ASSERT_NE(pRaw, nullptr);
    delete pRaw;
    pRaw = nullptr;
    const std::string strError = WriteReplyEnvelope(nullptr, -2, u"e");
    EXPECT_EQ(ReadReplyTable(strError.data(), strError.size(), pRaw), kReplyBadData);
    EXPECT_EQ(pRaw, nullptr);
    EXPECT_EQ(boxes.Texts(), Boxes{u"e"});
}

TEST(ReplyReader, TruncatedAtEveryField) {
    // The empty reply's 28 bytes with DT_TABLE as the payload type, then the example section.
    const std::string strFull = kttest::Fixture("example_reply.bin");
    ASSERT_EQ(strFull.size(), 47u);
    for (size_t k = 0; k < strFull.size(); ++k) {
        SCOPED_TRACE(k);
        kttest::CMessageBoxLog boxes;
        std::unique_ptr<CDataTable> pTable;
        const int nResult = Read(strFull.substr(0, k), pTable);
        if (k == 0) {
            EXPECT_EQ(nResult, kReplyNoData);
            EXPECT_TRUE(boxes.Texts().empty());
        } else if ((k >= 4 && k <= 9) || (k >= 13 && k <= 19)) {
            // A field name cut short: the format message, and the new table stays.
            EXPECT_EQ(nResult, kReplyBadData);
            EXPECT_EQ(boxes.Texts(), Boxes{kReplyFormatErrorText});
            EXPECT_TRUE(pTable);
        } else if (k <= 3 || k == 10 || k == 11 || k == 12 || k == 20) {
            // A missing type reads as DT_EMPTY, which is no status field: an error, empty box.
            EXPECT_EQ(nResult, kReplyBadData);
            EXPECT_EQ(boxes.Texts(), Boxes{u""});
            EXPECT_FALSE(pTable);
        } else {
            EXPECT_EQ(nResult, kReplyOk);
            EXPECT_TRUE(boxes.Texts().empty());
            ASSERT_TRUE(pTable);
            EXPECT_EQ(pTable->m_bIndexed, 1);
            EXPECT_EQ(pTable->GetColCount(), k >= 31 ? 2 : 0);
            if (k >= 28) {
                CDataTable expected;
                expected.ParseBuffer(strFull.data() + 28, static_cast<uint32_t>(k - 28));
                EXPECT_EQ(WriteTableSection(*pTable), WriteTableSection(expected));
            }
        }
    }
}

TEST(ReplyReader, EachFailingAllocationGivesTheExceptionResultAndNoTable) {
    // A message and texts too long to be held in place, so that reading each of them allocates.
    CDataTable expected(2, 1);
    expected.m_vecHeads.resize(1);
    expected.m_vecHeads[0].m_strName = u"a column name of some length";
    expected.m_vecHeads[0].m_nType = DT_STRING;
    expected.GetCell(0, 0)->SetString(u"the first cell's longer text");
    expected.GetCell(1, 0)->SetString(u"短");
    const std::string strReply =
        WriteReplyEnvelope(&expected, 0, u"a message that the reader keeps, then drops");
    const std::unique_ptr<char[]> pBytes = kttest::ExactCopy(strReply);
    kttest::CMessageBoxLog boxes;
    std::unique_ptr<CDataTable> pTable;
    int nResult = 0;
    const size_t nFailures = kttest::ForEachFailingAllocation(
        [&] {
            pTable.reset();
            nResult = ReadReplyTable(pBytes.get(), strReply.size(), pTable);
        },
        [&](bool bFailed) {
            // Running out of memory is no message from the server and no format error.
            EXPECT_TRUE(boxes.Texts().empty());
            if (bFailed) {
                EXPECT_EQ(nResult, kReplyException);
                EXPECT_FALSE(pTable);
            } else {
                EXPECT_EQ(nResult, kReplyOk);
                ASSERT_TRUE(pTable);
                EXPECT_EQ(WriteTableSection(*pTable), WriteTableSection(expected));
            }
        });
    EXPECT_GT(nFailures, 5u);
}
