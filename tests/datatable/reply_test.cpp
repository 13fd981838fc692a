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
using kttest::ToHex;

namespace {

int Read(const std::string& str, std::unique_ptr<CDataTable>& pTable) {
    return ReadReplyTable(kttest::ExactCopy(str).get(), str.size(), pTable);
}

using Boxes = std::vector<std::u16string>;

}  // namespace

// The writer's envelopes and section byte for byte as reviewed for kt-inspect (whose checks read
// these fixtures and the server errors beside them: the message shown as sent, or none), and what
// the reader makes of a good one: an indexed table, empty for a payload that is no table.
TEST(ReplyReader, WriterMatchesFixturesAndStatusZeroGivesATable) {
    kttest::CMessageBoxLog boxes;
    CDataTable example;
    ASSERT_EQ(example.LoadFromFile(FromUtf8(kttest::FixturePath("example_section.bin"))), 0);
    const std::pair<const char*, std::string> written[] = {
        {"example_section.bin", WriteTableSection(example)},
        {"example_reply.bin", WriteReplyEnvelope(&example)},
        {"empty_reply.bin", WriteReplyEnvelope(nullptr, 0, u"")},
        {"server_error_reply.bin", WriteReplyEnvelope(nullptr, -1, u"服务器忙")},
        // A positive status ends the envelope: an error without a message.
        {"positive_status_reply.bin", WriteReplyEnvelope(nullptr, 5)}};
    for (const auto& [pszName, str] : written)
        EXPECT_EQ(ToHex(str), ToHex(kttest::Fixture(pszName)));
    std::unique_ptr<CDataTable> pEmpty, pTable;
    EXPECT_EQ(Read(kttest::Fixture("empty_reply.bin"), pEmpty), kReplyOk);
    ASSERT_TRUE(pEmpty);
    EXPECT_TRUE(pEmpty->GetColCount() == 0 && pEmpty->m_bIndexed == 1);
    ASSERT_EQ(Read(kttest::Fixture("example_reply.bin"), pTable), kReplyOk);
    EXPECT_EQ(kttest::Cells(*pTable), u"1,ab");
    EXPECT_EQ(pTable->m_bIndexed, 1);
    EXPECT_EQ(pTable->FindColumn(u"N"), 1);
    EXPECT_TRUE(boxes.Texts().empty());
}

// No bytes; a table already there (kept as it is); the raw-pointer form, which allocates the table
// only for a good reply.
TEST(ReplyReader, ArgumentsAndRawPointerForm) {
    kttest::CMessageBoxLog boxes;
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(ReadReplyTable(nullptr, 10, pTable), kReplyNoData);
    EXPECT_EQ(ReadReplyTable("x", 0, pTable), kReplyNoData);
    EXPECT_FALSE(pTable);
    const std::string str = kttest::Fixture("empty_reply.bin"),
                      strError = WriteReplyEnvelope(nullptr, -2, u"e");
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
