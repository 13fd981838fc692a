// The bundled receiver: what it stores, where it stores it, and how it numbers reports under load.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "feedbackserver.h"
#include "ktreporter/formbody.h"
#include "platform/codepage.h"
#include "support/files.h"
#include "support/net_util.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::string_literals;
using kttest::net::Exchange;
using kttest::net::ReadToEnd;

constexpr const char* kBoundary = "---------------------------7d92de3351722";
const std::string kForm = "Content-Type: multipart/form-data; boundary="s + kBoundary + "\r\n";
const std::string kUrlencoded = "Content-Type: application/x-www-form-urlencoded\r\n";
const std::string kOk = "HTTP/1.1 200 OK";

// The reply's status line and the reply's body.
std::string StatusLine(const std::string& strReply) {
    return strReply.substr(0, strReply.find("\r\n"));
}
std::string ReplyBody(const std::string& strReply) {
    return strReply.substr(strReply.find("\r\n\r\n") + 4);
}

// A post of the body with the Content-Type lines given, as written.
std::string Request(const std::string& strTypeLines, const std::string& strBody) {
    return "POST /feedback HTTP/1.1\r\nHost: 127.0.0.1\r\n" + strTypeLines +
           "Content-Length: " + std::to_string(strBody.size()) + "\r\nConnection: close\r\n\r\n" +
           strBody;
}

// A body exactly as the reporter builds it.
std::string ReporterBody(const std::u16string& strUser, const std::u16string& strName,
                         const std::u16string& strPath, const std::string& strFile) {
    kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(0, strUser, strName, u"a@b.cn", u"", u"标题",
                                                  u"第一行\r\n第二行", strPath);
    return kt::BuildFormHead(form) + std::string(kt::FormContentTypeLines(0)) + strFile + "\r\n--" +
           kBoundary + "--\r\n\r\n";
}

// The report in the folder against the reviewed one, less what changes from run to run; the
// folder holds the files the report names, of the sizes it gives, and nothing else. Given the
// request (not chunked), each file holds the bytes after its own part's head.
void ExpectStored(const fs::path& folder, const fs::path& reviewed,
                  const std::string& strRequest = {}) {
    json report = json::parse(kttest::ReadFile(folder / "report.json"));
    EXPECT_EQ(folder.filename(), ktfeedback::ReportFolderName(report["number"].get<uint64_t>()));
    for (const char* pszKey : {"number", "received", "remote"}) report.erase(pszKey);
    EXPECT_EQ(json::parse(kttest::ReadFile(reviewed)), report);
    std::set<std::string> setNamed{"report.json"}, setFound;
    size_t nPos = 0;
    for (const json& att : report["attachments"]) {
        if (att["storedAs"].is_null()) continue;
        const std::string strStored = att["storedAs"].get<std::string>();
        setNamed.insert(strStored);
        const std::string strData = kttest::ReadFile(folder / strStored);
        EXPECT_EQ(att["size"], strData.size()) << strStored;
        if (strRequest.empty()) continue;
        nPos = strRequest.find("filename=\"" + att["filename"].get<std::string>() + "\"", nPos);
        nPos = strRequest.find("\r\n\r\n", nPos);
        ASSERT_NE(std::string::npos, nPos) << strStored;
        EXPECT_EQ(strRequest.substr(nPos + 4, strData.size()), strData) << strStored;
    }
    for (const auto& entry : fs::directory_iterator(folder))
        setFound.insert(entry.path().filename());
    EXPECT_EQ(setNamed, setFound);
}

class FeedbackServerTest : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(m_root); }
    void TearDown() override {
        StopServer();
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    void StartServer(size_t nMaxBody = 64u * 1024 * 1024,
                     std::chrono::milliseconds requestTimeout = std::chrono::hours(1),
                     std::chrono::milliseconds connectionTimeout = std::chrono::hours(1)) {
        m_pServer = std::make_unique<ktfeedback::CFeedbackServer>(
            ktfeedback::SERVER_OPTIONS{.dir = m_store,
                                       .nMaxBody = nMaxBody,
                                       .requestTimeout = requestTimeout,
                                       .connectionTimeout = connectionTimeout});
        std::string strError;
        m_nPort = m_pServer->Bind(strError);
        ASSERT_GT(m_nPort, 0) << strError;
        m_thread = std::thread([this] { m_pServer->Serve(); });
    }
    void StopServer() {
        if (m_pServer) m_pServer->Stop();
        if (m_thread.joinable()) m_thread.join();
        m_pServer.reset();
    }
    std::string Post(const std::string& strBody, const std::string& strTypeLines = kForm) {
        return Exchange(m_nPort, Request(strTypeLines, strBody));
    }
    std::set<std::string> NumberedFolders() const {
        std::set<std::string> set;
        for (const auto& entry : fs::directory_iterator(m_store))
            if (entry.path().filename() != ".incoming") set.insert(entry.path().filename());
        return set;
    }

    const fs::path m_root = fs::temp_directory_path() /
                            ("ktfbs-" + std::to_string(::getpid()) + "-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const fs::path m_store = m_root / "store";
    std::unique_ptr<ktfeedback::CFeedbackServer> m_pServer;
    std::thread m_thread;
    int m_nPort = 0;
};

// The form as the reporter's engine sends it: its default urlencoded line before the form's (the
// other ways a form's lines come are in the framing table). The attachment is binary and of a
// screenshot's size.
TEST_F(FeedbackServerTest, StoresEveryFieldInUtf8AndAnswersInTheCodePage) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    StartServer();
    std::string strJpeg;
    for (int i = 0; i < 20000; ++i) strJpeg += "J\0\r\n\xFF"s;
    const std::string strReply =
        Post(ReporterBody(u"用户1", u"张三", u"C:\\tmp\\\\say \"hi\".jpeg", strJpeg),
             kUrlencoded + kForm);
    EXPECT_EQ(kOk, StatusLine(strReply)) << strReply;
    EXPECT_NE(std::string::npos, strReply.find("\r\nContent-Type: text/plain; charset=GBK\r\n"));
    // GBK on the wire; the reporter drops the last byte, so the line end goes instead of text.
    EXPECT_EQ("反馈已收到，编号 000001\n",
              kt::ConvertCodePage(ReplyBody(strReply), "GBK", "UTF-8"));

    ExpectStored(m_store / "000001", KT_FEEDBACK_TEST_DATA "/stored_report.json");
    const fs::path file = m_store / "000001" / "say _hi_.jpeg";
    EXPECT_EQ(strJpeg, kttest::ReadFile(file));
    // A screenshot may show private data: readable by its owner only.
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(file).permissions());
}

// Requests as they go on the wire, one a file in framing/ (as curl keeps its cases), sent in the
// order of their names, each beginning with the status its reply begins with. A request with a
// report beside it (.json) is stored as that report under the next number; one with a reply beside
// it (.reply) is answered with exactly those bytes; nothing else reaches the store or costs a
// number. The size limit counts what is read, so a chunked body is held to it as well; a form may
// carry at most 100 parts; the refusals of a limit name it. Ambiguous or broken framing is refused
// before anything is stored, and a client that waits for "100 Continue" (libcurl does so for large
// posts) gets it only when its body will be taken. File names are cleaned to stay inside their
// report's folder, and names that clean to the same one are all kept, each under the next free
// copy number of its name; files are served by the names the store gave them, and only by those.
TEST_F(FeedbackServerTest, RequestsAreStoredOrRefusedAsTheirFilesSay) {
    ASSERT_TRUE(kt::SetAnsiCodePage("UTF-8"));
    StartServer(4096);
    std::vector<fs::path> vecFiles(fs::directory_iterator(KT_FEEDBACK_TEST_DATA "/framing"), {});
    std::erase_if(vecFiles, [](const fs::path& file) { return file.extension() != ".http"; });
    std::sort(vecFiles.begin(), vecFiles.end());
    EXPECT_EQ(30u, vecFiles.size());
    std::set<std::string> setStored;
    for (const fs::path& file : vecFiles) {
        SCOPED_TRACE(file.filename());
        const std::string strRequest = kttest::ReadFile(file);
        const std::string strReply = Exchange(m_nPort, strRequest);
        EXPECT_EQ("HTTP/1.1 " + file.filename().string().substr(0, 3), strReply.substr(0, 12));
        if (const fs::path reply = fs::path(file).replace_extension(".reply"); fs::exists(reply)) {
            EXPECT_EQ(kttest::ReadFile(reply), strReply);
        }
        if (const fs::path report = fs::path(file).replace_extension(".json"); fs::exists(report)) {
            setStored.insert(ktfeedback::ReportFolderName(setStored.size() + 1));
            const bool bChunked = strRequest.find("chunked") != std::string::npos;
            ExpectStored(m_store / *setStored.rbegin(), report, bChunked ? "" : strRequest);
        }
        EXPECT_EQ(setStored, NumberedFolders());
    }
    const std::string strHead = "POST /feedback HTTP/1.1\r\nX: " + std::string(70000, 'x');
    EXPECT_EQ("HTTP/1.1 431", Exchange(m_nPort, strHead + "\r\n\r\n").substr(0, 12));
    // Nothing landed beside the store.
    EXPECT_EQ(std::vector<fs::path>{m_store},
              std::vector<fs::path>(fs::directory_iterator(m_root), fs::directory_iterator()));
}

// Each deadline closes a connection by itself: the request's (from its first byte; a request cut
// off in its body is told 408; one cut off in its head: see the process test) and the
// connection's (from accept, idle time included). The test waits for the close, not for a time.
TEST_F(FeedbackServerTest, DeadlinesCloseSlowAndIdleConnections) {
    using std::chrono::hours;
    using std::chrono::milliseconds;
    struct CASE {
        milliseconds request, connection;
        std::string strSend, strReply;  // what the client sends, how the reply begins
    };
    const CASE cases[] = {
        {hours(1), milliseconds(100), "", ""},
        {milliseconds(100), hours(1),
         "POST /feedback HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", "HTTP/1.1 408"},
        {milliseconds(100), hours(1), "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc",
         "HTTP/1.1 408"},
        // Kept alive after its answer, then idle until the connection's deadline.
        {hours(1), milliseconds(300), "GET / HTTP/1.1\r\nHost: x\r\n\r\n", kOk},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.strSend);
        StartServer(4096, c.request, c.connection);
        const int fd = kttest::net::ConnectLoopback(m_nPort);
        kttest::net::SendAll(fd, c.strSend.data(), c.strSend.size());
        const std::string strReply = ReadToEnd(fd);
        ::close(fd);
        EXPECT_EQ(c.strReply, strReply.substr(0, c.strReply.size())) << strReply;
        EXPECT_EQ(c.strReply.empty(), strReply.empty()) << strReply;
        EXPECT_EQ(1u, m_pServer->GetDeadlineCloses());
        StopServer();
    }
    EXPECT_FALSE(fs::exists(m_store / "000001"));
}

// Each reply names the folder that holds that sender's report; no number twice, none left out.
TEST_F(FeedbackServerTest, FiftyConcurrentReportsAreNumberedWithoutGaps) {
    StartServer();
    std::vector<std::string> vecReplies(50);
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < 50; ++i) {
        vecThreads.emplace_back([this, i, &vecReplies] {
            const std::u16string strUser = kt::FromUtf8("user-" + std::to_string(i));
            vecReplies[i] = Post(ReporterBody(strUser, u"n", u"f.jpeg", "j"));
        });
    }
    for (auto& t : vecThreads) t.join();
    std::set<std::string> setExpected, setReplied;
    for (int i = 0; i < 50; ++i) {
        setExpected.insert(ktfeedback::ReportFolderName(i + 1));
        const std::string strFolder = ReplyBody(vecReplies[i]).substr(25, 6);  // after the text
        setReplied.insert(strFolder);
        const json report = json::parse(kttest::ReadFile(m_store / strFolder / "report.json"));
        EXPECT_EQ("user-" + std::to_string(i), report["fields"]["USER_ID_YY_RDQ012"]);
    }
    EXPECT_EQ(setExpected, NumberedFolders());
    EXPECT_EQ(setExpected, setReplied);
    EXPECT_EQ(50u, m_pServer->GetStoredCount());
}

// Numbers go on after a restart and skip a folder put there by hand; the index lists the reports
// newest first, escaped, with thumbnails of images only.
TEST_F(FeedbackServerTest, NumbersContinueAfterARestartAndTheIndexListsThem) {
    StartServer();
    ASSERT_EQ(kOk, StatusLine(Post(ReporterBody(u"", u"<b>first</b>", u"a.jpeg", "JPEGDATA"))));
    StopServer();
    fs::create_directories(m_store / "000002");
    StartServer();
    EXPECT_EQ("反馈已收到，编号 000003\n",
              ReplyBody(Post(ReporterBody(u"", u"second & last", u"", ""))));
    ASSERT_EQ(kOk, StatusLine(Post(ReporterBody(u"", u"n", u"b.rar", "RAR"))));
    const std::string html = Exchange(m_nPort, "GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(kOk, StatusLine(html));
    const size_t nFirst = html.find("&lt;b&gt;first&lt;/b&gt;");
    ASSERT_NE(std::string::npos, nFirst);
    EXPECT_LT(html.find("second &amp; last"), nFirst);
    EXPECT_EQ(std::string::npos, html.find("<b>first"));
    EXPECT_NE(std::string::npos, html.find("<img loading=\"lazy\" src=\"/reports/000001/a.jpeg\""));
    EXPECT_EQ(std::string::npos, html.find("src=\"/reports/000004/b.rar\""));
}

#ifdef KT_FEEDBACK_SERVER_EXE
struct SERVER_PROCESS {
    FILE* pOut = nullptr;
    int nPid = 0;
    int nPort = 0;
};

// Starts the program on a free port. The shell prints its own id and then becomes the server, so
// that id is the server's. Under AddressSanitizer freed memory is held back a while; here it must
// show as given back.
SERVER_PROCESS StartProcess(const fs::path& dir, const std::string& strOptions = "") {
    const std::string strPrefix = "listening on http://127.0.0.1:";
    SERVER_PROCESS proc;
    proc.pOut = ::popen(("echo $$; ASAN_OPTIONS=\"$ASAN_OPTIONS:quarantine_size_mb=0\" exec " +
                         std::string(KT_FEEDBACK_SERVER_EXE) + " --listen 127.0.0.1:0 --dir " +
                         dir.string() + " " + strOptions)
                            .c_str(),
                        "r");
    char szPid[32] = "", szLine[512] = "";
    if (proc.pOut && std::fgets(szPid, sizeof szPid, proc.pOut) &&
        std::fgets(szLine, sizeof szLine, proc.pOut) &&
        std::string(szLine).rfind(strPrefix, 0) == 0) {
        proc.nPid = std::stoi(szPid);
        proc.nPort = std::stoi(szLine + strPrefix.size());
    }
    return proc;
}

// Stops the program with the signal; true when it ended with status 0.
bool StopProcess(SERVER_PROCESS& proc, int nSignal) {
    ::kill(proc.nPid, nSignal);
    const int nStatus = ::pclose(proc.pOut);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// A process's thread count and resident kilobytes.
std::pair<int, long> ThreadsAndRss(int nPid) {
    std::ifstream in("/proc/" + std::to_string(nPid) + "/status");
    std::pair<int, long> result{0, 0};
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.rfind("Threads:", 0) == 0) result.first = std::stoi(strLine.substr(8));
        if (strLine.rfind("VmRSS:", 0) == 0) result.second = std::stol(strLine.substr(6));
    }
    return result;
}

// The program itself, stopped by SIGINT and by SIGTERM with status 0 (a bad command line is refused
// with status 2: see CMakeLists.txt). 200 clients that have connected and send nothing cost the
// receiver no thread: 20 normal posts are answered meanwhile. Then each of them starts a request
// and stops: the request's deadline drops every one with 408, and the receiver is back to its
// threads and its memory. The first rounds let the allocator and the workers settle.
TEST(FeedbackServerProcess, AnswersPostsBesideSlowClientsAndStopsCleanlyOnSignals) {
    const fs::path dir = fs::temp_directory_path() / ("ktfbs-proc-" + std::to_string(::getpid()));
    SERVER_PROCESS proc = StartProcess(dir);
    ASSERT_GT(proc.nPort, 0);
    EXPECT_TRUE(StopProcess(proc, SIGINT));
    proc = StartProcess(dir, "--request-timeout 300 --connection-timeout 3600000 2>/dev/null");
    ASSERT_GT(proc.nPort, 0);
    const std::string strPost =
        Request(kForm, ReporterBody(u"u", u"n", u"a.jpeg", std::string(3000, 'j')));
    std::pair<int, long> before;
    for (int nRound = 0; nRound < 8; ++nRound) {
        if (nRound == 5) before = ThreadsAndRss(proc.nPid);
        std::vector<pollfd> vecSlow(200);
        for (pollfd& slow : vecSlow) slow = {kttest::net::ConnectLoopback(proc.nPort), POLLIN, 0};
        for (int i = 0; i < 20; ++i) EXPECT_EQ(kOk, StatusLine(Exchange(proc.nPort, strPost)));
        // Accepted before the posts (the queue is served in order), and all still connected.
        EXPECT_EQ(0, ::poll(vecSlow.data(), vecSlow.size(), 0));
        const int nThreads = ThreadsAndRss(proc.nPid).first;
        EXPECT_TRUE(nRound < 5 || nThreads == before.first) << nThreads << " threads";
        for (const pollfd& slow : vecSlow) kttest::net::SendAll(slow.fd, "P", 1);
        for (const pollfd& slow : vecSlow) {
            EXPECT_EQ("HTTP/1.1 408", ReadToEnd(slow.fd).substr(0, 12));
            ::close(slow.fd);
        }
    }
    // What the allocator keeps for itself varies by a little; three rounds of 200 connections
    // that each kept a buffer would not fit.
    EXPECT_LE(ThreadsAndRss(proc.nPid).second, before.second + 2048) << before.second << " kB";
    EXPECT_TRUE(StopProcess(proc, SIGTERM));
    std::error_code ec;
    fs::remove_all(dir, ec);
}
#endif

}  // namespace
