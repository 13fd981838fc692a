// The reporter end to end, as a person uses it: the real ktreporter on a virtual X display, posting
// to the real ktfeedback-server on a loopback port, typed into and clicked with xdotool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ktreporter/jpeg_size.h"
#include "support/child_process.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using kttest::JpegSize;
using kttest::ReadFile;

// Polls until the condition holds; false when it still does not after the time.
bool PollFor(const std::function<bool()>& fnDone, int nSeconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(nSeconds);
    while (!fnDone()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A child process with its own environment additions; stdout and stderr go to files. It is
// stopped (SIGTERM, then SIGKILL) when the object goes, unless it has ended.
struct CChild {
    pid_t m_pid = -1;
    ~CChild() {
        if (m_pid > 0 && ::kill(m_pid, SIGTERM) == 0 && Wait(5) < 0 && ::kill(m_pid, SIGKILL) == 0)
            Wait(5);
    }
    bool Start(const std::vector<std::string>& vecArgs, const std::vector<std::string>& vecEnv,
               const fs::path& out, const fs::path& err, int nExtraFd = -1) {
        const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        m_pid = kttest::StartChild(vecArgs, vecEnv, fdOut, fdErr, nExtraFd, true);
        ::close(fdOut);
        ::close(fdErr);
        return m_pid > 0;
    }
    // The exit status, or -1 when the process is still running after the time.
    int Wait(int nSeconds) {
        int nStatus = 0;
        if (m_pid <= 0 ||
            !PollFor([&] { return ::waitpid(m_pid, &nStatus, WNOHANG) == m_pid; }, nSeconds))
            return -1;
        m_pid = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }
};

class EndToEndTest : public ::testing::Test {
protected:
    static constexpr int kScreenWidth = 1280;
    static constexpr int kScreenHeight = 800;

    void SetUp() override {
        m_root = fs::temp_directory_path() / ("kte2e-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "client" / "etc");
        // The client directory: the executable with its etc\urlserver.xml beside it.
        fs::copy_file(KT_REPORTER_EXE, m_root / "client" / "ktreporter");
        fs::permissions(m_root / "client" / "ktreporter", fs::perms::owner_all);

        // Xvfb picks a free display number itself and writes it to the descriptor. Without
        // -noreset it resets whenever its last client (an xdotool poll) leaves, and a reporter
        // connecting just then is refused.
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        const std::string strScreen =
            std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
        ASSERT_TRUE(m_display.Start({KT_XVFB_EXE, "-displayfd", "3", "-screen", "0", strScreen,
                                     "-nolisten", "tcp", "-noreset"},
                                    {}, m_root / "xvfb.out", m_root / "xvfb.err", fds[1]));
        ::close(fds[1]);
        m_strDisplay = ":";
        for (char c; ::read(fds[0], &c, 1) == 1 && c != '\n';) m_strDisplay += c;
        ::close(fds[0]);
        ASSERT_NE(":", m_strDisplay) << ReadFile(m_root / "xvfb.err");

        // The receiver on a free loopback port; its first line names the port.
        ASSERT_TRUE(m_receiver.Start({KT_FEEDBACK_SERVER_EXE, "--listen", "127.0.0.1:0", "--dir",
                                      (m_root / "store").string()},
                                     {"KTREPORTER_CODEPAGE=GBK"}, m_root / "receiver.out",
                                     m_root / "receiver.err"));
        std::string strOut;
        PollFor(
            [&] {
                return (strOut = ReadFile(m_root / "receiver.out")).find('\n') != std::string::npos;
            },
            20);
        const std::string strPrefix = "listening on http://127.0.0.1:";
        ASSERT_EQ(0u, strOut.rfind(strPrefix, 0)) << strOut;
        std::ofstream(m_root / "client" / "etc" / "urlserver.xml")
            << "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<root>\n  <url id=\"24\" "
               "path=\"http://127.0.0.1:"
            << std::stoi(strOut.substr(strPrefix.size())) << "/feedback\"/>\n</root>\n";
    }
    void TearDown() override {
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(m_root, ec);
    }

    // The reporter's output goes to <strName>.out and .err.
    bool StartReporter(CChild& child, const std::string& strName,
                       std::vector<std::string> vecArgs) {
        vecArgs.insert(vecArgs.begin(), (m_root / "client" / "ktreporter").string());
        return child.Start(
            vecArgs,
            {"DISPLAY=" + m_strDisplay, "QT_QPA_PLATFORM=xcb",
             "XDG_CONFIG_HOME=" + (m_root / "config").string(), "KTREPORTER_CODEPAGE=GBK",
             "KTREPORTER_TRACE=1", "NO_PROXY=127.0.0.1,localhost", "no_proxy=127.0.0.1,localhost",
             // Leak checks stay on in sanitizer builds; only the system libraries' own
             // one-time allocations are excused.
             "LSAN_OPTIONS=suppressions=" KT_LSAN_SUPPRESSIONS ":print_suppressions=0"},
            m_root / (strName + ".out"), m_root / (strName + ".err"));
    }
    // Runs xdotool on the display; its stdout, or an empty string on failure or time-out.
    std::string Xdo(const std::string& strArgs) const {
        const std::string strCmd = "DISPLAY=" + m_strDisplay + " timeout 30 " KT_XDOTOOL_EXE " " +
                                   strArgs + " 2>/dev/null";
        std::string strOut;
        FILE* pPipe = ::popen(strCmd.c_str(), "r");
        char buf[256];
        while (pPipe && std::fgets(buf, sizeof(buf), pPipe)) strOut += buf;
        return pPipe && ::pclose(pPipe) == 0 ? strOut : std::string();
    }
    // The first visible window with exactly this title other than strOther; empty after 30 s.
    std::string WaitForWindow(const std::string& strTitle, const std::string& strOther = "") const {
        std::string strFound;
        PollFor(
            [&] {
                std::istringstream ids(Xdo("search --onlyvisible --name '^" + strTitle + "$'"));
                while (ids >> strFound && strFound == strOther) strFound.clear();
                return !strFound.empty();
            },
            30);
        return strFound;
    }
    // Focuses the window and presses the keys, as a person closing a dialog would.
    void Press(const std::string& strWindow, const std::string& strKeys) const {
        Xdo("windowfocus --sync " + strWindow);
        Xdo("key " + strKeys);
    }

    fs::path m_root;
    std::string m_strDisplay;
    CChild m_display;
    CChild m_receiver;
};

// A first reporter photographs the whole screen (of the X server; Capture's test takes Qt's
// offscreen one) and provides a window that a second one, given it with -H, photographs at the
// window's own size (the picture's name: ReporterApp's start-up test); the second is typed into and
// its report reaches the receiver.
TEST_F(EndToEndTest, AReportTypedIntoTheWindowReachesTheReceiver) {
    CChild first;
    ASSERT_TRUE(StartReporter(first, "first", {"-T", "0"}));
    const std::string strFirst = WaitForWindow("问题反馈");
    ASSERT_FALSE(strFirst.empty()) << ReadFile(m_root / "first.err");
    EXPECT_EQ(std::make_pair(kScreenWidth, kScreenHeight),
              JpegSize(ReadFile(fs::directory_iterator(m_root / "client" / "tmp")->path())));
    const std::string strGeometry = Xdo("getwindowgeometry --shell " + strFirst);
    const size_t nPos = strGeometry.find("WIDTH=");
    ASSERT_NE(std::string::npos, nPos) << strGeometry;
    int nWidth = 0, nHeight = 0;
    std::sscanf(strGeometry.c_str() + nPos, "WIDTH=%d HEIGHT=%d", &nWidth, &nHeight);
    ASSERT_TRUE(nWidth > 0 && nHeight > 0) << strGeometry;

    CChild reporter;
    ASSERT_TRUE(StartReporter(reporter, "reporter", {"-T", "0", "-U", "u-1001", "-H", strFirst}));
    // The capture runs before the second dialog is shown.
    const std::string strDlg = WaitForWindow("问题反馈", strFirst);
    ASSERT_FALSE(strDlg.empty()) << ReadFile(m_root / "reporter.err");
    Xdo("windowfocus --sync " + strDlg);
    // The name field has the focus (no stored profile yet); then Tab through the fields as a
    // person would, replacing the prefilled title and description, and submit with the button's
    // mnemonic (递交(&S)).
    for (const char* pszStep :
         {"type --delay 30 'Zhang San'", "key Tab", "type --delay 30 'zhang.san@example.com'",
          "key Tab", "type --delay 30 '010-1234'", "key Tab ctrl+a",
          "type --delay 30 'Cannot log in'", "key Tab ctrl+a", "type --delay 30 'Step one'",
          "key Return", "type --delay 30 'Step two'", "key alt+s"}) {
        Xdo(pszStep);
    }
    const std::string strBox = WaitForWindow("服务器返回信息");
    ASSERT_FALSE(strBox.empty()) << ReadFile(m_root / "reporter.err");
    Press(strBox, "Return");
    EXPECT_EQ(0, reporter.Wait(30)) << ReadFile(m_root / "reporter.err");
    Press(strFirst, "Escape");
    EXPECT_EQ(0, first.Wait(30));

    // The box said what the receiver answered.
    const std::string strTrace = ReadFile(m_root / "reporter.err");
    EXPECT_NE(std::string::npos,
              strTrace.find("MessageBox [服务器返回信息] 反馈已收到，编号 000001"))
        << strTrace;
    const json report = json::parse(ReadFile(m_root / "store" / "000001" / "report.json"));
    EXPECT_EQ(json::parse(R"({"DATA_FROM": "client", "PAGE_TYPE": "0", "USER_ID_YY_RDQ012":
        "u-1001", "F001V_YY_RDQ012": "Zhang San", "F002V_YY_RDQ012": "zhang.san@example.com",
        "F003V_YY_RDQ012": "010-1234", "F005V_YY_RDQ013": "Cannot log in",
        "F007C_YY_RDQ013": "Step one\r\nStep two"})"),
              report["fields"]);
    ASSERT_EQ(1u, report["attachments"].size());
    const json& att = report["attachments"][0];
    ASSERT_TRUE(att["storedAs"].is_string());
    EXPECT_EQ(std::make_pair(nWidth, nHeight),
              JpegSize(ReadFile(m_root / "store" / "000001" / att["storedAs"].get<std::string>())));
    // The contact values are remembered for the next report.
    const std::string strProfile =
        ReadFile(m_root / "config" / "KTReporter Software" / "ktreporter.conf");
    EXPECT_NE(std::string::npos, strProfile.find("FEEDBACK_NAME=Zhang San")) << strProfile;
}

}  // namespace
