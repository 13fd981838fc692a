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

// The writer's envelopes byte for byte (the empty one by hand, the example one as reviewed for
// kt-inspect), and what the reader makes of them: an indexed table, empty for a payload that is no
// table.
TEST(ReplyReader, StatusZeroWithATable) {
    kttest::CMessageBoxLog boxes;
    const std::string strEmpty = WriteReplyEnvelope(nullptr, 0, u"");
    EXPECT_EQ(ToHex(strEmpty), kEmptyReplyHex);
    std::unique_ptr<CDataTable> pEmpty, pTable;
    EXPECT_EQ(Read(strEmpty, pEmpty), kReplyOk);
    ASSERT_TRUE(pEmpty);
    EXPECT_TRUE(pEmpty->GetColCount() == 0 && pEmpty->m_bIndexed == 1);

    CDataTable example;
    ASSERT_EQ(example.LoadFromFile(FromUtf8(kttest::FixturePath("example_section.bin"))), 0);
    EXPECT_EQ(ToHex(WriteTableSection(example)), ToHex(kttest::Fixture("example_section.bin")));
    const std::string strReply = kttest::Fixture("example_reply.bin");
    EXPECT_EQ(ToHex(WriteReplyEnvelope(&example)), ToHex(strReply));
    ASSERT_EQ(Read(strReply, pTable), kReplyOk);
    EXPECT_EQ(kttest::Cells(*pTable), u"1,ab");
    EXPECT_EQ(pTable->m_bIndexed, 1);
    EXPECT_EQ(pTable->FindColumn(u"N"), 1);
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

// No bytes; a table already there (kept as it is); the raw-pointer form, which allocates the table
// only for a good reply.
TEST(ReplyReader, ArgumentsAndRawPointerForm) {
    kttest::CMessageBoxLog boxes;
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(ReadReplyTable(nullptr, 10, pTable), kReplyNoData);
    EXPECT_EQ(ReadReplyTable("x", 0, pTable), kReplyNoData);
    EXPECT_FALSE(pTable);
    const std::string str = Hex(kEmptyReplyHex), strError = WriteReplyEnvelope(nullptr, -2, u"e");
    pTable = std::make_unique<CDataTable>(2, 2);
    CDataTable* pRaw = pTable.get();
    EXPECT_EQ(Read(str, pTable), kReplyTableNotEmpty);
    EXPECT_EQ(ReadReplyTable(str.data(), str.size(), pRaw), kReplyTableNotEmpty);
    EXPECT_TRUE(pTable.get() == pRaw && pRaw->GetRowCount() == 2);
    pRaw = nullptr;
    EXPECT_EQ(ReadReplyTable(strError.data(), strError.size(), pRaw), kReplyBadData);
    EXPECT_EQ(pRaw, nullptr);
    EXPECT_EQ(ReadReplyTable(str.data(), str.size(), pRaw), kReplyOk);
    ASSERT_NE(pRaw, nullptr);
    delete pRaw;
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

// Each allocation of a table parse and of a reply read fails in turn: the parse answers out of
// memory with an empty table, the reader its exception result with no table and no message box
// (running out of memory is no message from the server and no format error). A non-ASCII column
// name, a property, a message and texts too long to be held in place, so that each read allocates.
TEST(ReplyReader, EachFailingAllocationGivesOutOfMemoryAndNoTable) {
    CDataTable source(3, 2);
    source.m_vecHeads = {CDataColumnHead(u"A"), CDataColumnHead(u"名称，比较长的列名")};
    source.m_vecHeads[1].m_nType = DT_STRING;
    source.m_mapProps[u"version of the table"].SetString(u"v1");
    source.GetCell(1, 1)->SetString(u"a cell text of some length");
    const std::string strSection = WriteTableSection(source);
    const std::string strReply = WriteReplyEnvelope(&source, 0, u"a message that the reader drops");
    const std::unique_ptr<char[]> pSection = kttest::ExactCopy(strSection);
    const std::unique_ptr<char[]> pReply = kttest::ExactCopy(strReply);
    kttest::CMessageBoxLog boxes;
    CDataTable table;
    std::unique_ptr<CDataTable> pTable;
    int nParse = 0, nRead = 0;
    const size_t nParseFailures = kttest::ForEachFailingAllocation(
        [&] {
            nParse = table.ParseBuffer(pSection.get(), static_cast<uint32_t>(strSection.size()));
        },
        [&](bool bFailed) {
            EXPECT_EQ(nParse, bFailed ? CDataTable::kParseOutOfMemory : 0);
            EXPECT_EQ(WriteTableSection(table), bFailed ? WriteTableSection({}) : strSection);
        });
    const size_t nReadFailures = kttest::ForEachFailingAllocation(
        [&] {
            pTable.reset();
            nRead = ReadReplyTable(pReply.get(), strReply.size(), pTable);
        },
        [&](bool bFailed) {
            EXPECT_EQ(nRead, bFailed ? kReplyException : kReplyOk);
            EXPECT_EQ(pTable ? WriteTableSection(*pTable) : "", bFailed ? "" : strSection);
        });
    EXPECT_GT(nParseFailures, 10u);
    EXPECT_GT(nReadFailures, 10u);
    EXPECT_TRUE(boxes.Texts().empty());
}
