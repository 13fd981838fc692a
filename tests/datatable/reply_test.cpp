#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "capture.h"
#include "datatable/datawriter.h"
#include "datatable/replyreader.h"

using namespace kt;
using kttest::Hex;
using kttest::ToHex;

namespace {

const char* const kSectionHex = "80 80 82 81 80 82 49 44 85 80 81 4E 84 80 84 81 82 61 62";

int Read(const std::string& str, std::unique_ptr<CDataTable>& pTable) {
    // An exact-size copy, so that ASan sees any read past the reply.
    std::unique_ptr<char[]> pCopy(new char[str.size() + 1]);
    std::memcpy(pCopy.get(), str.data(), str.size());
    return ReadReplyTable(pCopy.get(), str.size(), pTable);
}

}  // namespace

TEST(ReplyReader, StatusZeroWithATable) {
    const std::string str = WriteReplyEnvelope(nullptr, 0, u"");
    // Three words, "status" DT_INTEGER 0, "message" DT_STRING "", "data" DT_EMPTY.
    EXPECT_EQ(
        ToHex(str),
        "80 80 80 86 73 74 61 74 75 73 85 80 87 6D 65 73 73 61 67 65 84 80 84 64 61 74 61 80");

    kttest::CMessageBoxCapture boxes;
    std::string strReply = str;
    strReply.back() = static_cast<char>(0x83);  // DT_TABLE
    strReply += Hex(kSectionHex);
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(Read(strReply, pTable), kReplyOk);
    ASSERT_TRUE(pTable);
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(pTable->GetCellString(0, 1), u"ab");
    EXPECT_EQ(pTable->m_bIndexed, 1);
    EXPECT_EQ(pTable->FindColumn(u"N"), 1);

    // A payload other than a table: result 0, an empty indexed table.
    std::unique_ptr<CDataTable> pEmpty;
    EXPECT_EQ(Read(str, pEmpty), kReplyOk);
    ASSERT_TRUE(pEmpty);
    EXPECT_EQ(pEmpty->GetColCount(), 0);
    EXPECT_EQ(pEmpty->m_bIndexed, 1);
    EXPECT_TRUE(boxes.texts.empty());
}

TEST(ReplyReader, ServerErrorShowsItsMessage) {
    kttest::CMessageBoxCapture boxes;
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(Read(WriteReplyEnvelope(nullptr, -1, u"服务器忙"), pTable), kReplyBadData);
    EXPECT_FALSE(pTable);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], u"服务器忙");

    // A positive status ends the envelope and is an error without a message.
    EXPECT_EQ(Read(WriteReplyEnvelope(nullptr, 5), pTable), kReplyBadData);
    EXPECT_FALSE(pTable);
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts[1], u"");

    // A negative status whose second type is not a text shows an empty box.
    CDataBufWriter w;
    for (int i = 0; i < 3; ++i) w.WriteInt(0);
    w.WriteString(u"s");
    w.WriteType(DT_INTEGER);
    w.WriteInt(-3);
    w.WriteString(u"m");
    w.WriteType(DT_STRING1);
    w.WriteString(u"not shown");
    EXPECT_EQ(Read(w.GetBuffer(), pTable), kReplyBadData);
    EXPECT_EQ(boxes.texts.back(), u"");

    // A text first field is kept as the message; an integer error in the second field shows it.
    CDataBufWriter w2;
    for (int i = 0; i < 3; ++i) w2.WriteInt(0);
    w2.WriteString(u"msg");
    w2.WriteType(DT_STRING);
    w2.WriteString(u"kept");
    w2.WriteString(u"s");
    w2.WriteType(DT_INTEGER);
    w2.WriteInt(2);
    EXPECT_EQ(Read(w2.GetBuffer(), pTable), kReplyBadData);
    EXPECT_EQ(boxes.texts.back(), u"kept");

    // A field of another type is an error of its own.
    kttest::CTraceCapture trace;
    CDataBufWriter w3;
    for (int i = 0; i < 3; ++i) w3.WriteInt(0);
    w3.WriteString(u"s");
    w3.WriteType(DT_DOUBLE);
    w3.WriteDouble(1.0);
    const size_t nBoxes = boxes.texts.size();
    EXPECT_EQ(Read(w3.GetBuffer(), pTable), kReplyBadData);
    EXPECT_FALSE(pTable);
    EXPECT_EQ(boxes.texts.size(), nBoxes + 1);
}

TEST(ReplyReader, ArgumentsAndRawPointerForm) {
    kttest::CMessageBoxCapture boxes;
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(ReadReplyTable(nullptr, 10, pTable), kReplyNoData);
    EXPECT_EQ(ReadReplyTable("x", 0, pTable), kReplyNoData);
    EXPECT_FALSE(pTable);

    const std::string str = WriteReplyEnvelope(nullptr);
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
    EXPECT_TRUE(boxes.texts.size() == 1 && boxes.texts[0] == u"e");
}

TEST(ReplyReader, TruncatedAtEveryField) {
    CDataTable table;
    ASSERT_EQ(table.ParseBuffer(Hex(kSectionHex).data(), 19), 0);
    const std::string strFull = WriteReplyEnvelope(&table);
    // 28 bytes of envelope (see StatusZeroWithATable), then the 19-byte section.
    ASSERT_EQ(strFull.size(), 47u);
    kttest::CTraceCapture trace;
    for (size_t k = 0; k < strFull.size(); ++k) {
        SCOPED_TRACE(k);
        kttest::CMessageBoxCapture boxes;
        std::unique_ptr<CDataTable> pTable;
        const int nResult = Read(strFull.substr(0, k), pTable);
        if (k == 0) {
            EXPECT_EQ(nResult, kReplyNoData);
            EXPECT_TRUE(boxes.texts.empty());
        } else if ((k >= 4 && k <= 9) || (k >= 13 && k <= 19)) {
            // A field name cut short: the format message, and the new table stays.
            EXPECT_EQ(nResult, kReplyBadData);
            ASSERT_EQ(boxes.texts.size(), 1u);
            EXPECT_EQ(boxes.texts[0], kReplyFormatErrorText);
            EXPECT_TRUE(pTable);
        } else if (k <= 3 || k == 10 || k == 11 || k == 12 || k == 20) {
            // A missing type reads as DT_EMPTY, which is no status field: an error, empty box.
            EXPECT_EQ(nResult, kReplyBadData);
            ASSERT_EQ(boxes.texts.size(), 1u);
            EXPECT_EQ(boxes.texts[0], u"");
            EXPECT_FALSE(pTable);
        } else {
            EXPECT_EQ(nResult, kReplyOk);
            EXPECT_TRUE(boxes.texts.empty());
            ASSERT_TRUE(pTable);
            EXPECT_EQ(pTable->m_bIndexed, 1);
            if (k >= 28) {
                CDataTable expected;
                expected.ParseBuffer(strFull.data() + 28, static_cast<uint32_t>(k - 28));
                EXPECT_EQ(WriteTableSection(*pTable), WriteTableSection(expected));
                EXPECT_EQ(pTable->GetColCount(), k >= 31 ? 2 : 0);
            } else {
                EXPECT_EQ(pTable->GetColCount(), 0);
            }
        }
    }
}

TEST(ReplyReader, RoundTripThroughTheWriter) {
    CDataTable table(3, 4);
    table.m_vecHeads.resize(4);
    const uint32_t types[4] = {DT_DATE, DT_STRING3, DT_FLOAT2, DT_BOOL};
    const char16_t* names[4] = {u"日期", u"名称", u"价格", u"ok"};
    for (int c = 0; c < 4; ++c) {
        table.m_vecHeads[c].m_strName = names[c];
        table.m_vecHeads[c].m_nType = types[c];
        CDataCell attr;
        attr.SetInteger(c, DT_INTEGER);
        table.m_vecHeads[c].m_mapAttrs[u"width"] = attr;
    }
    CDataCell prop;
    prop.SetString(u"v1", DT_STRING1);
    table.m_mapProps[u"version"] = prop;
    for (int r = 0; r < 3; ++r) {
        CDataCell cells[4];
        cells[0].SetInteger(20240101 + r, DT_DATE);
        cells[1].SetString(u"第" + std::u16string(1, static_cast<char16_t>(u'1' + r)) + u"行",
                           DT_STRING3);
        cells[2].SetDouble(r + 0.25, DT_FLOAT2);
        cells[3].SetInteger(r % 2, DT_BOOL);
        for (int c = 0; c < 4; ++c) table.SetCell(r, c, cells[c]);
    }
    const std::string str = WriteReplyEnvelope(&table);
    kttest::CMessageBoxCapture boxes;
    std::unique_ptr<CDataTable> pTable;
    ASSERT_EQ(Read(str, pTable), kReplyOk);
    EXPECT_EQ(WriteTableSection(*pTable), WriteTableSection(table));
    EXPECT_EQ(pTable->GetCellString(2, 0), u"2024-01-03");
    EXPECT_EQ(pTable->GetCellString(1, 1), u"第2行");
    EXPECT_EQ(pTable->GetCellString(1, 2), u"1.2500");
    EXPECT_EQ(pTable->GetCellString(1, 3), u"是");
    EXPECT_EQ(pTable->FindColumn(u"价格"), 2);
    EXPECT_EQ(pTable->m_mapProps.at(u"version").GetString(), u"v1");
    EXPECT_EQ(pTable->GetColumnHead(3)->m_mapAttrs.at(u"width").GetInt64(), 3);
}
