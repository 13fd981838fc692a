// The bundled receiver: what it stores, where it stores it, and how it numbers reports under load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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

constexpr const char* kContentType =
    "multipart/form-data; boundary=---------------------------7d92de3351722";

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
    std::string strBody = kt::BuildFormHead(form);
    strBody += kt::FormContentTypeLines(0);
    strBody += strFile;
    strBody += "\r\n-----------------------------7d92de3351722--\r\n\r\n";
    return strBody;
}

class FeedbackServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("ktfbs-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        m_store = m_root / "store";
    }
    void TearDown() override {
        StopServer();
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    void StartServer(size_t nMaxBody = 64u * 1024 * 1024) {
        ktfeedback::SERVER_OPTIONS options;
        options.dir = m_store;
        options.nMaxBody = nMaxBody;
        m_pServer = std::make_unique<ktfeedback::CFeedbackServer>(options);
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
    httplib::Result Post(const std::string& strBody) {
        httplib::Client client("127.0.0.1", m_nPort);
        client.set_read_timeout(30, 0);
        return client.Post("/feedback", strBody, kContentType);
    }
    std::set<std::string> NumberedFolders() const {
        std::set<std::string> set;
        for (const auto& entry : fs::directory_iterator(m_store)) {
            if (entry.path().filename() != ".incoming") set.insert(entry.path().filename());
        }
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

TEST_F(FeedbackServerTest, StoresEveryFieldInUtf8AndAnswersInTheCodePage) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    StartServer();
    const std::string strJpeg("\xFF\xD8\xFF\xE0\0\r\n\xFF\xD9", 9);
    auto res =
        Post(ReporterBody(u"用户1", u"张三", u"\\c\\tmp\\\\ScreenShoot20240105001.jpeg", strJpeg));
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    EXPECT_EQ("text/plain; charset=GBK", res->get_header_value("Content-Type"));
    // GBK on the wire; the reporter drops the last byte, so the line end goes instead of text.
    EXPECT_EQ("反馈已收到，编号 000001\n", kt::ConvertCodePage(res->body, "GBK", "UTF-8"));

    const json report = Report("000001");
    EXPECT_EQ(1, report["number"]);
    const json& f = report["fields"];
    EXPECT_EQ("client", f["DATA_FROM"]);
    EXPECT_EQ("0", f["PAGE_TYPE"]);
    EXPECT_EQ("用户1", f["USER_ID_YY_RDQ012"]);
    EXPECT_EQ("张三", f["F001V_YY_RDQ012"]);
    EXPECT_EQ("a@b.cn", f["F002V_YY_RDQ012"]);
    EXPECT_EQ("", f["F003V_YY_RDQ012"]);
    EXPECT_EQ("标题", f["F005V_YY_RDQ013"]);
    EXPECT_EQ("第一行\r\n第二行", f["F007C_YY_RDQ013"]);
    ASSERT_EQ(1u, report["attachments"].size());
    const json& att = report["attachments"][0];
    EXPECT_EQ("\\c\\tmp\\\\ScreenShoot20240105001.jpeg", att["filename"]);
    EXPECT_EQ("ScreenShoot20240105001.jpeg", att["storedAs"]);
    EXPECT_EQ(strJpeg, Slurp(m_store / "000001" / "ScreenShoot20240105001.jpeg"));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(m_store / "000001" / "ScreenShoot20240105001.jpeg").permissions());
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
    };
    int nNumber = 0;
    for (const auto& [strName, strStored] : vecCases) {
        auto res = Post(ReporterBody(u"", u"n", strName, "DATA"));
        ASSERT_TRUE(res);
        ASSERT_EQ(200, res->status);
        const std::string strFolder = ktfeedback::ReportFolderName(++nNumber);
        const json report = Report(strFolder);
        EXPECT_EQ(strStored, report["attachments"][0]["storedAs"]) << kt::ToUtf8(strName);
        EXPECT_EQ("DATA", Slurp(m_store / strFolder / strStored));
        // The report's own record was not overwritten by the attachment.
        EXPECT_EQ(nNumber, report["number"]);
    }
    // Nothing landed beside the store or in it outside the numbered folders.
    EXPECT_EQ(std::vector<fs::path>{m_store},
              std::vector<fs::path>(fs::directory_iterator(m_root), fs::directory_iterator()));
    for (const auto& entry : fs::recursive_directory_iterator(m_store)) {
        const fs::path rel = fs::relative(entry.path(), m_store);
        EXPECT_TRUE(rel.begin()->string() == ".incoming" ||
                    ktfeedback::ReportFolderName(std::stoull(rel.begin()->string())) ==
                        rel.begin()->string())
            << rel;
    }
    // Files are served only by their stored names.
    httplib::Client client("127.0.0.1", m_nPort);
    EXPECT_EQ(200, client.Get("/reports/000001/evil.txt")->status);
    EXPECT_EQ(404, client.Get("/reports/000001/..%2F..%2Fstore%2F000001%2Freport.json")->status);
    EXPECT_EQ(404, client.Get("/reports/000001/report.json")->status);
    EXPECT_EQ(404, client.Get("/reports/000001/.hidden")->status);
}

TEST_F(FeedbackServerTest, SafeNamesNeverCutAUtf8Character) {
    const std::string strName = ktfeedback::SafeFileName(std::string(200, 'a') + "张");
    EXPECT_EQ(std::string(120, 'a'), strName);
    const std::string strCjk = ktfeedback::SafeFileName(std::string(119, 'a') + "张三");
    EXPECT_EQ(std::string(119, 'a'), strCjk);
    EXPECT_EQ("截图.jpeg", ktfeedback::SafeFileName("C:\\用户\\截图.jpeg"));
}

TEST_F(FeedbackServerTest, BodyOverTheLimitGets413AndStoresNothing) {
    StartServer(4096);
    auto res = Post(ReporterBody(u"", u"n", u"big.rar", std::string(8192, 'x')));
    ASSERT_TRUE(res);
    EXPECT_EQ(413, res->status);
    EXPECT_NE(std::string::npos, res->body.find("4096"));
    EXPECT_TRUE(NumberedFolders().empty());
    // The refused body cost no number.
    res = Post(ReporterBody(u"", u"n", u"small.rar", "x"));
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
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
            auto res = Post(ReporterBody(strUser, u"n", u"f.jpeg", std::string(1000 + i, 'j')));
            if (res && res->status == 200) {
                vecReplies[i] = res->body;
            } else {
                vecReplies[i] = res ? "status " + std::to_string(res->status)
                                    : "error " + httplib::to_string(res.error());
            }
        });
    }
    for (auto& t : vecThreads) t.join();

    std::set<std::string> setExpected;
    for (int n = 1; n <= kReports; ++n) setExpected.insert(ktfeedback::ReportFolderName(n));
    EXPECT_EQ(setExpected, NumberedFolders());
    // Each reply names the folder that holds that sender's report, and no folder twice.
    std::set<std::string> setReplied;
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(0u, vecReplies[i].rfind("反馈已收到", 0)) << i << ": " << vecReplies[i];
        const std::string strFolder = vecReplies[i].substr(vecReplies[i].size() - 7, 6);
        EXPECT_TRUE(setReplied.insert(strFolder).second) << strFolder;
        const json report = Report(strFolder);
        EXPECT_EQ("user-" + std::to_string(i), report["fields"]["USER_ID_YY_RDQ012"]);
        EXPECT_EQ(1000u + i, Slurp(m_store / strFolder / "f.jpeg").size());
    }
    EXPECT_EQ(static_cast<uint64_t>(kReports), m_pServer->GetStoredCount());
}

TEST_F(FeedbackServerTest, NumbersContinueAfterARestartAndSkipForeignFolders) {
    StartServer();
    ASSERT_EQ(200, Post(ReporterBody(u"", u"n", u"", ""))->status);
    StopServer();
    fs::create_directories(m_store / "000002");  // put there by hand
    StartServer();
    auto res = Post(ReporterBody(u"", u"n", u"", ""));
    ASSERT_TRUE(res);
    EXPECT_NE(std::string::npos, res->body.find("000003"));
    // An empty file part is recorded, but no file is made for it.
    const json report = Report("000003");
    EXPECT_TRUE(report["attachments"][0]["storedAs"].is_null());
    EXPECT_EQ(0, report["attachments"][0]["size"]);
}

TEST_F(FeedbackServerTest, IndexListsNewestFirstEscapedWithThumbnails) {
    StartServer();
    ASSERT_EQ(200, Post(ReporterBody(u"", u"<b>first</b>", u"a.jpeg", "JPEGDATA"))->status);
    ASSERT_EQ(200, Post(ReporterBody(u"", u"second & last", u"b.rar", "RAR"))->status);
    httplib::Client client("127.0.0.1", m_nPort);
    auto res = client.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    const std::string& html = res->body;
    const size_t nSecond = html.find("second &amp; last");
    const size_t nFirst = html.find("&lt;b&gt;first&lt;/b&gt;");
    ASSERT_NE(std::string::npos, nSecond);
    ASSERT_NE(std::string::npos, nFirst);
    EXPECT_LT(nSecond, nFirst);
    EXPECT_EQ(std::string::npos, html.find("<b>first"));
    EXPECT_NE(std::string::npos, html.find("<img loading=\"lazy\" src=\"/reports/000001/a.jpeg\""));
    EXPECT_EQ(std::string::npos, html.find("src=\"/reports/000002/b.rar\""));
    auto img = client.Get("/reports/000001/a.jpeg");
    ASSERT_TRUE(img);
    EXPECT_EQ("JPEGDATA", img->body);
    EXPECT_EQ("image/jpeg", img->get_header_value("Content-Type"));
}

// The reporter's engine sends its default urlencoded content type first and the form's line
// behind it, exactly like this.
TEST_F(FeedbackServerTest, FormLineBehindTheEnginesDefaultContentTypeIsFound) {
    StartServer();
    // Well above the library's 8 KB limit for urlencoded bodies, as a screenshot is.
    const std::string strJpeg(100000, 'J');
    const std::string strBody = ReporterBody(u"u", u"n", u"C:\\say \"hi\".jpeg", strJpeg);
    const std::string strRequest =
        "POST /feedback HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nPriority: low\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n"
        "Content-Type: multipart/form-data; boundary=---------------------------7d92de3351722\r\n"
        "Content-Length: " +
        std::to_string(strBody.size()) + "\r\nConnection: close\r\n\r\n" + strBody;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(static_cast<ssize_t>(strRequest.size()),
              ::send(fd, strRequest.data(), strRequest.size(), 0));
    std::string strReply;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof(buf), 0)) > 0;) strReply.append(buf, n);
    ::close(fd);
    EXPECT_EQ(0u, strReply.rfind("HTTP/1.1 200", 0)) << strReply;
    const json report = Report("000001");
    EXPECT_EQ("n", report["fields"]["F001V_YY_RDQ012"]);
    EXPECT_EQ("C:\\say \"hi\".jpeg", report["attachments"][0]["filename"]);
    EXPECT_EQ("say _hi_.jpeg", report["attachments"][0]["storedAs"]);
    EXPECT_EQ(strJpeg, Slurp(m_store / "000001" / "say _hi_.jpeg"));
}

TEST(Multipart, SplitsTheReportersBodyAndRefusesBrokenOnes) {
    const std::string strBody = ReporterBody(u"u", u"n", u"a\"b\".jpeg", std::string("J\0\r\n", 4));
    const std::string strBoundary = "---------------------------7d92de3351722";
    std::vector<ktfeedback::FORM_PART> vec;
    ASSERT_TRUE(ktfeedback::ParseMultipart(strBody, strBoundary, vec));
    ASSERT_EQ(9u, vec.size());
    EXPECT_EQ("DATA_FROM", vec[0].strName);
    EXPECT_EQ("client", vec[0].strData);
    EXPECT_FALSE(vec[0].strFileName.has_value());
    EXPECT_EQ("F007C_YY_RDQ013", vec[7].strName);
    EXPECT_EQ("\xB5\xDA\xD2\xBB\xD0\xD0\r\n\xB5\xDA\xB6\xFE\xD0\xD0",
              kt::ConvertCodePage(vec[7].strData, "UTF-8", "GBK"));
    EXPECT_EQ("ATTACH_FILE_NAME", vec[8].strName);
    EXPECT_EQ("a\"b\".jpeg", vec[8].strFileName.value_or("<none>"));
    EXPECT_EQ("image/pjpeg", vec[8].strContentType);
    EXPECT_EQ(std::string("J\0\r\n", 4), vec[8].strData);

    EXPECT_EQ(strBoundary,
              ktfeedback::MultipartBoundary("multipart/form-data; boundary=" + strBoundary));
    EXPECT_EQ("abc", ktfeedback::MultipartBoundary("Multipart/Form-Data; boundary=\"abc\""));
    EXPECT_EQ("", ktfeedback::MultipartBoundary("application/x-www-form-urlencoded"));
    const std::vector<std::string> vecBroken = {
        "",                                      // nothing at all
        "no delimiter here",                     // no delimiter
        strBody.substr(0, strBody.size() / 2),   // cut in the middle of a part
        strBody.substr(0, strBody.size() - 52),  // closing delimiter missing
        "--" + strBoundary + "\r\nContent-Disposition: form-data; name=\"x\"",  // no blank line
    };
    for (const std::string& str : vecBroken) {
        EXPECT_FALSE(ktfeedback::ParseMultipart(str, strBoundary, vec)) << str.size();
    }
    EXPECT_FALSE(ktfeedback::ParseMultipart(strBody, "", vec));
}

TEST_F(FeedbackServerTest, NonMultipartPostsAreRefused) {
    StartServer();
    httplib::Client client("127.0.0.1", m_nPort);
    auto res = client.Post("/feedback", "a=b", "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(400, res->status);
    EXPECT_TRUE(NumberedFolders().empty());
}

#ifdef KT_FEEDBACK_SERVER_EXE
// The program itself: announces its port, and SIGTERM or SIGINT end it with status 0.
TEST(FeedbackServerProcess, StopsCleanlyOnSignals) {
    const fs::path dir = fs::temp_directory_path() / ("ktfbs-proc-" + std::to_string(::getpid()));
    for (int nSignal : {SIGTERM, SIGINT}) {
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::execl(KT_FEEDBACK_SERVER_EXE, KT_FEEDBACK_SERVER_EXE, "--listen", "127.0.0.1:0",
                    "--dir", dir.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string strOut;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') strOut += c;
        ASSERT_EQ(0u, strOut.rfind("listening on http://127.0.0.1:", 0)) << strOut;
        const int nPort = std::stoi(strOut.substr(strlen("listening on http://127.0.0.1:")));
        httplib::Client client("127.0.0.1", nPort);
        auto res = client.Get("/");
        ASSERT_TRUE(res);
        EXPECT_EQ(200, res->status);
        ::kill(pid, nSignal);
        int nStatus = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &nStatus, 0));
        EXPECT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(0, WEXITSTATUS(nStatus));
        ::close(fds[0]);
    }
    // A bad command line is a usage error.
    const std::string strCmd = std::string(KT_FEEDBACK_SERVER_EXE) + " --listen nope 2>/dev/null";
    EXPECT_EQ(2, WEXITSTATUS(std::system(strCmd.c_str())));
    std::error_code ec;
    fs::remove_all(dir, ec);
}
#endif

}  // namespace
