// The network subcommands of kt-inspect driven as support staff use them: the real executable
// against a loopback server, its JSON read back. The layers underneath have their own tests; what
// is checked here is the contract of the command line (names, shapes, the bytes it reports).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "datatable/datawriter.h"
#include "support/files.h"
#include "support/http_server.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Runs kt-inspect with the arguments (quoted for the shell: sh, or cmd on Windows) and parses its
// stdout, read as bytes; the exit status must be 0, as for every subcommand that ran.
json Inspect(const std::vector<std::string>& vecArgs) {
    const char* pszTool = std::getenv("KT_INSPECT");
    EXPECT_NE(nullptr, pszTool);
    if (pszTool == nullptr) return json();
#ifdef _WIN32
    // cmd /c drops the outer pair of quotes.
    std::string strCommand = "\"\"" + fs::path(pszTool).make_preferred().string() + "\"";
    for (const std::string& strArg : vecArgs) strCommand += " \"" + strArg + "\"";
    strCommand += "\"";
    FILE* pPipe = ::_popen(strCommand.c_str(), "rb");
#else
    std::string strCommand = std::string("'") + pszTool + "'";
    for (const std::string& strArg : vecArgs) strCommand += " '" + strArg + "'";
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
#endif
    EXPECT_NE(nullptr, pPipe);
    if (pPipe == nullptr) return json();
    std::string strOut;
    char szBuffer[4096];
    while (size_t n = std::fread(szBuffer, 1, sizeof(szBuffer), pPipe)) strOut.append(szBuffer, n);
#ifdef _WIN32
    EXPECT_EQ(::_pclose(pPipe), 0) << strCommand;
#else
    const int nStatus = ::pclose(pPipe);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strCommand;
#endif
    EXPECT_FALSE(strOut.empty()) << strCommand;
    EXPECT_EQ('\n', strOut.empty() ? 0 : strOut.back());
    return json::parse(strOut, nullptr, false);
}

// Each row: what it checks, the command line, and fields the JSON must hold exactly.
TEST(InspectNetwork, SubcommandsReportWhatCameBack) {
    kttest::CHttpServer server;
    const fs::path dir =
        fs::temp_directory_path() / ("kt-inspect-net-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    std::string strData(1500000, '\0');
    for (size_t i = 0; i < strData.size(); ++i) strData[i] = static_cast<char>(i * 7 + i / 251);
    server.SetResource("/f.bin", {strData, true, "Sun, 06 Nov 1994 08:49:37 GMT"});
    server.SetReply("/q", {200, {}, std::string("reply\0with a zero \xff byte", 24)});
    server.SetReply("/missing", {404, {}, "no"});
    server.SetReply("/echo", {200, {}, std::string(10000, 'r')});
    server.SetReply("/err", {200, {}, kt::WriteReplyEnvelope(nullptr, -1, u"server says no")});
    server.SetReply("/empty", {200, {}, kt::WriteReplyEnvelope(nullptr, 0)});
    const std::string strPost = (dir / "post.txt").string();
    std::ofstream(strPost, std::ios::binary) << "a=1&b=2";
    std::string strR64;  // base64 of 10000 'r'
    for (int i = 0; i < 3333; ++i) strR64 += "cnJy";
    const std::string strSync = (dir / "sync.bin").string(),
                      strAsync = (dir / "async.bin").string();
    const struct {
        const char* pszWhat;
        std::vector<std::string> vecArgs;
        json expected;
    } cases[] = {
        {"fetch: the body's bytes, a zero and 0xFF among them",
         {"fetch", server.Url("/q"), "--header", "X-Probe: 7"},
         {{"notification", "finished"},
          {"result", 0},
          {"bodyLength", 24},
          {"bodyBase64", "cmVwbHkAd2l0aCBhIHplcm8g/yBieXRl"}}},
        {"fetch: an HTTP error fails",
         {"fetch", server.Url("/missing")},
         {{"notification", "failed"}}},
        {"remote-size", {"remote-size", server.Url("/f.bin")}, {{"result", 1}, {"size", 1500000}}},
        {"download",
         {"download", server.Url("/f.bin"), strSync},
         {{"size", 1500000}, {"mtime", 784111777}}},
        {"download --async",
         {"download", server.Url("/f.bin"), strAsync, "--async"},
         {{"size", 1500000},
          {"mtime", 784111777},
          {"notification", "finished"},
          {"lastStatus", 1500000}}},
        {"inet --post",
         {"inet", server.Url("/echo"), "--post", strPost},
         {{"notification", "finished"}, {"bodyLength", 10000}, {"bodyBase64", strR64 + "cg=="}}},
        {"inet-table: an error envelope's message is what the user is shown, and no table",
         {"inet-table", server.Url("/err")},
         {{"result", -8}, {"messages", {"server says no"}}, {"table", nullptr}}},
        {"inet-table: an empty table",
         {"inet-table", server.Url("/empty")},
         {{"result", 0},
          {"messages", json::array()},
          {"table",
           json::parse(R"({"colCount":0,"heads":[],"props":{},"rowCount":0,"rows":[]})")}}},
    };
    std::vector<json> vecOut;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        vecOut.push_back(Inspect(c.vecArgs));
        for (const auto& [strKey, value] : c.expected.items())
            EXPECT_EQ(value, vecOut.back()[strKey]) << strKey;
    }
    EXPECT_NE(0, vecOut[1]["result"]);
    EXPECT_FALSE(vecOut[1]["errorText"].get<std::string>().empty());
    EXPECT_GE(vecOut[4]["statusCalls"].get<int>(), 1);
    EXPECT_EQ(0, vecOut[5]["progress"][0][0]);
    for (const std::string& strFile : {strSync, strAsync})
        EXPECT_TRUE(kttest::ReadFile(strFile) == strData) << strFile;
    // What went out: the extra header, the posted form.
    std::map<std::string, kttest::RECORDED_REQUEST> mapSent;
    for (const kttest::RECORDED_REQUEST& req : server.Requests()) mapSent[req.strPath] = req;
    EXPECT_EQ("7", mapSent["/q"].Header("X-Probe"));
    EXPECT_EQ("POST a=1&b=2", mapSent["/echo"].strMethod + " " + mapSent["/echo"].strBody);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
