// The network subcommands of kt-inspect driven as support staff use them: the real executable
// against a loopback server, its JSON read back. The layers underneath have their own tests; what
// is checked here is the contract of the command line (names, shapes, the bytes it reports).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "datatable/datawriter.h"
#include "support/http_server.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Base64(const std::string& strData) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strOut;
    for (size_t i = 0; i < strData.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(strData[i]) << 16;
        if (i + 1 < strData.size()) n |= static_cast<unsigned char>(strData[i + 1]) << 8;
        if (i + 2 < strData.size()) n |= static_cast<unsigned char>(strData[i + 2]);
        strOut += kDigits[(n >> 18) & 63];
        strOut += kDigits[(n >> 12) & 63];
        strOut += i + 1 < strData.size() ? kDigits[(n >> 6) & 63] : '=';
        strOut += i + 2 < strData.size() ? kDigits[n & 63] : '=';
    }
    return strOut;
}

// Runs kt-inspect with the arguments (single-quoted for the shell) and parses its stdout; the
// exit status must be 0, as for every subcommand that ran.
json Inspect(const std::vector<std::string>& vecArgs) {
    const char* pszTool = std::getenv("KT_INSPECT");
    EXPECT_NE(nullptr, pszTool);
    if (pszTool == nullptr) return json();
    std::string strCommand = std::string("'") + pszTool + "'";
    for (const std::string& strArg : vecArgs) strCommand += " '" + strArg + "'";
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    EXPECT_NE(nullptr, pPipe);
    if (pPipe == nullptr) return json();
    std::string strOut;
    char szBuffer[4096];
    while (size_t n = std::fread(szBuffer, 1, sizeof(szBuffer), pPipe)) strOut.append(szBuffer, n);
    const int nStatus = ::pclose(pPipe);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strCommand;
    EXPECT_FALSE(strOut.empty()) << strCommand;
    EXPECT_EQ('\n', strOut.empty() ? 0 : strOut.back());
    return json::parse(strOut, nullptr, false);
}

class InspectNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.IsRunning());
        m_dir = fs::temp_directory_path() / ("kt-inspect-net-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    kttest::CHttpServer m_server;
    fs::path m_dir;
};

TEST_F(InspectNetwork, FetchSendsHeadersAndReportsTheReplyBytes) {
    const std::string strBody("reply\0with a zero \xff byte", 24);
    m_server.SetReply("/q", {200, {}, strBody});
    json out = Inspect({"fetch", m_server.Url("/q"), "--header", "X-Probe: 7"});
    EXPECT_EQ("finished", out["notification"]);
    EXPECT_EQ(0, out["result"]);
    EXPECT_EQ(24, out["bodyLength"]);
    EXPECT_EQ(Base64(strBody), out["bodyBase64"]);
    ASSERT_EQ(1u, m_server.RequestCount());
    EXPECT_EQ("7", m_server.Requests()[0].Header("X-Probe"));

    m_server.SetReply("/missing", {404, {}, "no"});
    out = Inspect({"fetch", m_server.Url("/missing")});
    EXPECT_EQ("failed", out["notification"]);
    EXPECT_NE(0, out["result"]);
    EXPECT_FALSE(out["errorText"].get<std::string>().empty());
}

TEST_F(InspectNetwork, DownloadAndRemoteSize) {
    std::string strData(1500000, '\0');
    for (size_t i = 0; i < strData.size(); ++i) strData[i] = static_cast<char>(i * 7 + i / 251);
    m_server.SetResource("/f.bin", {strData, true, "Sun, 06 Nov 1994 08:49:37 GMT"});

    json out = Inspect({"remote-size", m_server.Url("/f.bin")});
    EXPECT_EQ(1, out["result"]);
    EXPECT_EQ(1500000, out["size"]);

    for (const bool bAsync : {false, true}) {
        const fs::path file = m_dir / (bAsync ? "async.bin" : "sync.bin");
        std::vector<std::string> vecArgs = {"download", m_server.Url("/f.bin"), file.string()};
        if (bAsync) vecArgs.push_back("--async");
        out = Inspect(vecArgs);
        SCOPED_TRACE(bAsync ? "async" : "sync");
        EXPECT_EQ(1500000, out["size"]);
        EXPECT_EQ(784111777, out["mtime"]);
        std::ifstream in(file, std::ios::binary);
        const std::string strGot((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
        EXPECT_TRUE(strGot == strData) << "file differs";
        if (bAsync) {
            EXPECT_EQ("finished", out["notification"]);
            EXPECT_EQ(1500000, out["lastStatus"]);
            EXPECT_GE(out["statusCalls"].get<int>(), 1);
        }
    }
}

TEST_F(InspectNetwork, InetRequestsAndReplyTables) {
    const fs::path post = m_dir / "post.txt";
    std::ofstream(post, std::ios::binary) << "a=1&b=2";
    m_server.SetReply("/echo", {200, {}, std::string(10000, 'r')});
    json out = Inspect({"inet", m_server.Url("/echo"), "--post", post.string()});
    EXPECT_EQ("finished", out["notification"]);
    EXPECT_EQ(10000, out["bodyLength"]);
    EXPECT_EQ(Base64(std::string(10000, 'r')), out["bodyBase64"]);
    ASSERT_FALSE(out["progress"].empty());
    EXPECT_EQ(0, out["progress"][0][0]);
    ASSERT_EQ(1u, m_server.RequestCount());
    EXPECT_EQ("POST", m_server.Requests()[0].strMethod);
    EXPECT_EQ("a=1&b=2", m_server.Requests()[0].strBody);

    // An error envelope: its message is what the user is shown, and no table comes back.
    m_server.SetReply("/err", {200, {}, kt::WriteReplyEnvelope(nullptr, -1, u"server says no")});
    out = Inspect({"inet-table", m_server.Url("/err")});
    EXPECT_EQ(-8, out["result"]);
    EXPECT_EQ(json::array({"server says no"}), out["messages"]);
    EXPECT_TRUE(out["table"].is_null());

    m_server.SetReply("/empty", {200, {}, kt::WriteReplyEnvelope(nullptr, 0)});
    out = Inspect({"inet-table", m_server.Url("/empty")});
    EXPECT_EQ(0, out["result"]);
    EXPECT_TRUE(out["messages"].empty());
    EXPECT_EQ(0, out["table"]["rowCount"]);
}

}  // namespace
