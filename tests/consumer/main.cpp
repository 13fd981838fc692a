// consumer URL: parses an XML text, reads a table reply and fetches URL through the transfer
// engine, with nothing but the installed headers and libraries. Exit status 0 when all three hold.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "httpdownload/httppublic.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "xml/xmldocument.h"

// Keeps the result code the engine reports; 1 until it has reported.
struct CReporter : IHttpReporter {
    int32_t OnRequestFinished(long) override {
        m_nResult = 0;
        return 0;
    }
    int32_t OnRequestFailed(long, int32_t nResult) override {
        m_nResult = nResult;
        return 0;
    }
    int32_t m_nResult = 1;
};

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    kt::CXmlDocument doc(u"<root><url id=\"24\" path=\"http://h/feedback\"/></root>");
    const bool bXml = doc.FindElement(u"root") && doc.EnterElement() && doc.FindElement(u"url") &&
                      doc.GetAttribute(u"path") == u"http://h/feedback";

    kt::CDataTable table(1, 1);
    table.m_vecHeads.assign(1, kt::CDataColumnHead(u"name"));
    table.m_vecHeads[0].m_nType = kt::DT_STRING;
    table.GetCell(0, 0)->SetString(u"value");
    const std::string strReply = kt::WriteReplyEnvelope(&table);
    std::unique_ptr<kt::CDataTable> pTable;
    const bool bTable = kt::ReadReplyTable(strReply.data(), strReply.size(), pTable) == 0 &&
                        pTable->GetCellString(0, 0) == u"value";

    // The result is posted to this thread, which pumps until it arrives.
    if (HttpPool_Initialize(nullptr) != 1) return 1;
    CReporter reporter;
    long nId = -1;
    const std::u16string strUrl = kt::FromUtf8(argv[1]);
    int nResult = HttpPool_RequestForm(&nId, strUrl.c_str(), nullptr, &reporter, 10000, 0, 0);
    while (nResult == 0 && reporter.m_nResult == 1) kt::PumpMessagesFor(1000);
    if (nResult == 0) nResult = reporter.m_nResult;
    long nLength = 0;
    std::free(HttpPool_GetData(nId, &nLength));
    HttpPool_Uninitialize();

    std::printf("xml %s, table reply %s, request %d (%ld bytes)\n", bXml ? "ok" : "FAILED",
                bTable ? "ok" : "FAILED", nResult, nLength);
    return bXml && bTable && nResult == 0 && nLength > 0 ? 0 : 1;
}
