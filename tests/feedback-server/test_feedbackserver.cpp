// The bundled receiver: what it stores, where it stores it, and how it numbers reports under load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::string_literals;

constexpr const char* kBoundary = "---------------------------7d92de3351722";
const std::string kForm = "Content-Type: multipart/form-data; boundary="s + kBoundary + "\r\n";
const std::string kUrlencoded = "Content-Type: application/x-www-form-urlencoded\r\n";

// The reply's status line and the reply's body.
std::string StatusLine(const std::string& strReply) {
    return strReply.substr(0, strReply.find("\r\n"));
}
std::string ReplyBody(const std::string& strReply) {
    return strReply.substr(strReply.find("\r\n\r\n") + 4);
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A body exactly as the reporter builds it.
std::string ReporterBody(const std::u16string& strUser, const std::u16string& strName,
                         const std::u16string& strPath, const std::string& strFile) {
    kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(0, strUser, strName, u"a@b.cn", u"", u"标题",
                                                  u"第一行\r\n第二行", strPath);
    return kt::BuildFormHead(form) + std::string(kt::FormContentTypeLines(0)) + strFile + "\r\n--" +
           kBoundary + "--\r\n\r\n";
}

class FeedbackServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("ktfbs-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        m_store = m_root / "store";
    }
    void TearDown() override {
        StopServer();
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    void StartServer(size_t nMaxBody = 64u * 1024 * 1024) {
        m_pServer = std::make_unique<ktfeedback::CFeedbackServer>(
            ktfeedback::SERVER_OPTIONS{.dir = m_store, .nMaxBody = nMaxBody});
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
    // Posts with the Content-Type lines given, as written; the whole reply.
    std::string Post(const std::string& strBody, const std::string& strTypeLines = kForm) {
        const std::string strRequest = "POST /feedback HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                       strTypeLines +
                                       "Content-Length: " + std::to_string(strBody.size()) +
                                       "\r\nConnection: close\r\n\r\n" + strBody;
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(m_nPort));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        ::send(fd, strRequest.data(), strRequest.size(), MSG_NOSIGNAL);
        std::string strReply;
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof(buf), 0)) > 0;) strReply.append(buf, size_t(n));
        ::close(fd);
        return strReply;
    }
    httplib::Result Get(const std::string& strPath) {
        return httplib::Client("127.0.0.1", m_nPort).Get(strPath);
    }
    std::set<std::string> NumberedFolders() const {
        std::set<std::string> set;
        for (const auto& entry : fs::directory_iterator(m_store))
            if (entry.path().filename() != ".incoming") set.insert(entry.path().filename());
        return set;
    }
    json Report(const std::string& strFolder) const {
        return json::parse(Slurp(m_store / strFolder / "report.json"));
    }

    fs::path m_root;
    fs::path m_store;
    std::unique_ptr<ktfeedback::CFeedbackServer> m_pServer;
    std::thread m_thread;
    int m_nPort = 0;
};

// Both ways a form arrives: with the form's Content-Type line alone (httplib splits the body), and
// the reporter engine's way, its default urlencoded line before the form's (the receiver splits
// the body itself; httplib would hold it to 8 KB). The attachment is binary and above that limit,
// as a screenshot is.
TEST_F(FeedbackServerTest, StoresEveryFieldInUtf8AndAnswersInTheCodePage) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    StartServer();
    std::string strJpeg;
    for (int i = 0; i < 20000; ++i) strJpeg += "J\0\r\n\xFF"s;
    const std::string strBody =
        ReporterBody(u"用户1", u"张三", u"C:\\tmp\\\\say \"hi\".jpeg", strJpeg);
    const std::string strForm =
        "Content-Type: multipart/form-data; boundary="s + kBoundary + "\r\n";
    for (const std::string& strLines :
         {strForm, "Content-Type: application/x-www-form-urlencoded\r\n" + strForm}) {
        const std::string strFolder = ktfeedback::ReportFolderName(NumberedFolders().size() + 1);
        SCOPED_TRACE(strLines);
        const std::string strReply = Post(strBody, strLines);
        EXPECT_EQ("HTTP/1.1 200 OK", StatusLine(strReply)) << strReply;
        EXPECT_NE(std::string::npos,
                  strReply.find("\r\nContent-Type: text/plain; charset=GBK\r\n"));
        // GBK on the wire; the reporter drops the last byte, so the line end goes instead of text.
        EXPECT_EQ("反馈已收到，编号 " + strFolder + "\n",
                  kt::ConvertCodePage(ReplyBody(strReply), "GBK", "UTF-8"));

        const json report = Report(strFolder);
        EXPECT_EQ(std::stoi(strFolder), report["number"]);
        EXPECT_EQ((json{{"DATA_FROM", "client"},
                        {"PAGE_TYPE", "0"},
                        {"USER_ID_YY_RDQ012", "用户1"},
                        {"F001V_YY_RDQ012", "张三"},
                        {"F002V_YY_RDQ012", "a@b.cn"},
                        {"F003V_YY_RDQ012", ""},
                        {"F005V_YY_RDQ013", "标题"},
                        {"F007C_YY_RDQ013", "第一行\r\n第二行"}}),
                  report["fields"]);
        EXPECT_EQ((json::array({{{"field", "ATTACH_FILE_NAME"},
                                 {"filename", "C:\\tmp\\\\say \"hi\".jpeg"},
                                 {"contentType", "image/pjpeg"},
                                 {"size", strJpeg.size()},
                                 {"storedAs", "say _hi_.jpeg"}}})),
                  report["attachments"]);
        const fs::path file = m_store / strFolder / "say _hi_.jpeg";
        EXPECT_EQ(strJpeg, Slurp(file));
        // A screenshot may show private data: readable by its owner only.
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(file).permissions());
    }
}

TEST_F(FeedbackServerTest, HostileFileNamesStayInsideTheReportFolder) {
    StartServer();
    const std::vector<std::pair<std::u16string, std::string>> vecCases = {
        {u"../../../evil.txt", "evil.txt"},
        {u"..\\..\\..\\evil2.txt", "evil2.txt"},
        {u"/etc/cron.d/evil3", "evil3"},
        {u"..", "attachment"},
        {u"C:\\..", "attachment"},
        {u"dir/", "attachment"},
        {u"report.json", "attachmentreport.json"},
        {u".hidden", "hidden"},
        {u"a\tb:c*d?.jpeg", "a_b_c_d_.jpeg"},
        {u"C:\\用户\\截图.jpeg", "截图.jpeg"},
        // At most 120 bytes, never cutting a UTF-8 sequence.
        {kt::FromUtf8(std::string(200, 'a') + "张"), std::string(120, 'a')},
        {kt::FromUtf8(std::string(119, 'a') + "张三"), std::string(119, 'a')},
    };
    int nNumber = 0;
    for (const auto& [strName, strStored] : vecCases) {
        SCOPED_TRACE(kt::ToUtf8(strName));
        ASSERT_EQ("HTTP/1.1 200 OK", StatusLine(Post(ReporterBody(u"", u"n", strName, "DATA"))));
        const std::string strFolder = ktfeedback::ReportFolderName(++nNumber);
        const json report = Report(strFolder);
        EXPECT_EQ(strStored, report["attachments"][0]["storedAs"]);
        EXPECT_EQ("DATA", Slurp(m_store / strFolder / strStored));
        // The report's own record was not overwritten by the attachment.
        EXPECT_EQ(nNumber, report["number"]);
    }
    // Nothing landed beside the store or in it outside the numbered folders.
    EXPECT_EQ(std::vector<fs::path>{m_store},
              std::vector<fs::path>(fs::directory_iterator(m_root), fs::directory_iterator()));
    for (const auto& entry : fs::recursive_directory_iterator(m_store)) {
        const std::string strTop = fs::relative(entry.path(), m_store).begin()->string();
        EXPECT_TRUE(strTop == ".incoming" ||
                    ktfeedback::ReportFolderName(std::stoull(strTop)) == strTop)
            << entry.path();
    }
    // Files are served only by their stored names.
    EXPECT_EQ(200, Get("/reports/000001/evil.txt")->status);
    EXPECT_EQ(404, Get("/reports/000001/..%2F..%2Fstore%2F000001%2Freport.json")->status);
    EXPECT_EQ(404, Get("/reports/000001/report.json")->status);
    EXPECT_EQ(404, Get("/reports/000001/.hidden")->status);
}

// Refused posts store nothing and cost no number. The engine's way of posting makes the receiver
// split the body itself, and it must refuse one that is not a whole form.
TEST_F(FeedbackServerTest, RefusedPostsGet413Or400AndStoreNothing) {
    StartServer(4096);
    const std::string strBody = ReporterBody(u"u", u"n", u"a.rar", "x");
    struct CASE {
        std::string strLines, strBody, strStatus;
    };
    const CASE cases[] = {
        {kForm, ReporterBody(u"", u"n", u"big.rar", std::string(8192, 'x')), "413"},
        {kUrlencoded, "a=b", "400"},
        {kUrlencoded + kForm, "", "400"},
        {kUrlencoded + kForm, "no delimiter here", "400"},
        {kUrlencoded + kForm, strBody.substr(0, strBody.size() / 2), "400"},   // cut short
        {kUrlencoded + kForm, strBody.substr(0, strBody.size() - 52), "400"},  // no closing
        {kUrlencoded + kForm, "--"s + kBoundary + "\r\nContent-Disposition: form-data", "400"},
    };
    for (const CASE& c : cases) {
        const std::string strReply = Post(c.strBody, c.strLines);
        EXPECT_EQ("HTTP/1.1 " + c.strStatus, strReply.substr(0, 12)) << c.strBody.size();
        // The limit is named in the refusal.
        EXPECT_TRUE(c.strStatus != "413" || ReplyBody(strReply).find("4096") != std::string::npos);
    }
    EXPECT_TRUE(NumberedFolders().empty());
    // A quoted boundary of a type spelled in another case is still the form's.
    const std::string strReply =
        Post(strBody,
             kUrlencoded + "Content-Type: Multipart/Form-Data; boundary=\"" + kBoundary + "\"\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLine(strReply)) << strReply;
    EXPECT_EQ(std::set<std::string>{"000001"}, NumberedFolders());
}

TEST_F(FeedbackServerTest, FiftyConcurrentReportsAreNumberedWithoutGaps) {
    StartServer();
    constexpr int kReports = 50;
    std::vector<std::string> vecReplies(kReports);
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < kReports; ++i) {
        vecThreads.emplace_back([this, i, &vecReplies] {
            const std::u16string strUser = kt::FromUtf8("user-" + std::to_string(i));
            vecReplies[i] =
                Post(ReporterBody(strUser, u"n", u"f.jpeg", std::string(1000 + i, 'j')));
        });
    }
    for (auto& t : vecThreads) t.join();

    std::set<std::string> setExpected;
    for (int n = 1; n <= kReports; ++n) setExpected.insert(ktfeedback::ReportFolderName(n));
    EXPECT_EQ(setExpected, NumberedFolders());
    // Each reply names the folder that holds that sender's report, and no folder twice.
    std::set<std::string> setReplied;
    for (int i = 0; i < kReports; ++i) {
        const std::string strText = ReplyBody(vecReplies[i]);
        ASSERT_EQ(0u, strText.rfind("反馈已收到", 0)) << i << ": " << vecReplies[i];
        const std::string strFolder = strText.substr(strText.size() - 7, 6);
        EXPECT_TRUE(setReplied.insert(strFolder).second) << strFolder;
        EXPECT_EQ("user-" + std::to_string(i), Report(strFolder)["fields"]["USER_ID_YY_RDQ012"]);
        EXPECT_EQ(1000u + i, Slurp(m_store / strFolder / "f.jpeg").size());
    }
    EXPECT_EQ(static_cast<uint64_t>(kReports), m_pServer->GetStoredCount());
}

TEST_F(FeedbackServerTest, NumbersContinueAfterARestartAndSkipForeignFolders) {
    StartServer();
    ASSERT_EQ("HTTP/1.1 200 OK", StatusLine(Post(ReporterBody(u"", u"n", u"", ""))));
    StopServer();
    fs::create_directories(m_store / "000002");  // put there by hand
    StartServer();
    EXPECT_EQ("反馈已收到，编号 000003\n", ReplyBody(Post(ReporterBody(u"", u"n", u"", ""))));
    // An empty file part is recorded, but no file is made for it.
    const json report = Report("000003");
    EXPECT_TRUE(report["attachments"][0]["storedAs"].is_null());
    EXPECT_EQ(0, report["attachments"][0]["size"]);
}

TEST_F(FeedbackServerTest, IndexListsNewestFirstEscapedWithThumbnails) {
    StartServer();
    Post(ReporterBody(u"", u"<b>first</b>", u"a.jpeg", "JPEGDATA"));
    Post(ReporterBody(u"", u"second & last", u"b.rar", "RAR"));
    auto res = Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    const std::string& html = res->body;
    const size_t nSecond = html.find("second &amp; last");
    const size_t nFirst = html.find("&lt;b&gt;first&lt;/b&gt;");
    ASSERT_NE(std::string::npos, nFirst);
    EXPECT_LT(nSecond, nFirst);
    EXPECT_EQ(std::string::npos, html.find("<b>first"));
    EXPECT_NE(std::string::npos, html.find("<img loading=\"lazy\" src=\"/reports/000001/a.jpeg\""));
    EXPECT_EQ(std::string::npos, html.find("src=\"/reports/000002/b.rar\""));
    auto img = Get("/reports/000001/a.jpeg");
    ASSERT_TRUE(img);
    EXPECT_EQ("JPEGDATA", img->body);
    EXPECT_EQ("image/jpeg", img->get_header_value("Content-Type"));
}

#ifdef KT_FEEDBACK_SERVER_EXE
// The program itself: announces its port, and SIGTERM or SIGINT end it with status 0. The shell
// prints its own id and then becomes the server, so that id is the server's.
TEST(FeedbackServerProcess, StopsCleanlyOnSignalsAndRefusesABadCommandLine) {
    const fs::path dir = fs::temp_directory_path() / ("ktfbs-proc-" + std::to_string(::getpid()));
    const std::string strExe = KT_FEEDBACK_SERVER_EXE;
    const std::string strPrefix = "listening on http://127.0.0.1:";
    for (int nSignal : {SIGTERM, SIGINT}) {
        FILE* pOut = ::popen(
            ("echo $$; exec " + strExe + " --listen 127.0.0.1:0 --dir " + dir.string()).c_str(),
            "r");
        char szPid[32] = "", szLine[512] = "";
        ASSERT_TRUE(pOut && std::fgets(szPid, sizeof szPid, pOut) &&
                    std::fgets(szLine, sizeof szLine, pOut));
        ASSERT_EQ(0u, std::string(szLine).rfind(strPrefix, 0)) << szLine;
        auto res = httplib::Client("127.0.0.1", std::atoi(szLine + strPrefix.size())).Get("/");
        ASSERT_TRUE(res);
        EXPECT_EQ(200, res->status);
        ::kill(std::atoi(szPid), nSignal);
        const int nStatus = ::pclose(pOut);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    }
    EXPECT_EQ(2, WEXITSTATUS(std::system((strExe + " --listen nope 2>/dev/null").c_str())));
    std::error_code ec;
    fs::remove_all(dir, ec);
}
#endif

}  // namespace
