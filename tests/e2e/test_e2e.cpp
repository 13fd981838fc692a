// The reporter end to end, as a person uses it: the real ktreporter on a virtual X display, posting
// to the real ktfeedback-server on a loopback port, typed into and clicked with xdotool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A child process with its own environment additions; stdout and stderr go to files.
class CChild {
public:
    CChild() = default;
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;
    ~CChild() { Kill(); }

    bool Start(const std::vector<std::string>& vecArgs, const std::vector<std::string>& vecEnv,
               const fs::path& out, const fs::path& err, int nExtraFd = -1) {
        m_pid = ::fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            ::setpgid(0, 0);
            for (const std::string& str : vecEnv) ::putenv(::strdup(str.c_str()));
            const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fdOut, 1);
            ::dup2(fdErr, 2);
            if (nExtraFd >= 0) ::dup2(nExtraFd, 3);
            std::vector<char*> argv;
            for (const std::string& str : vecArgs) argv.push_back(::strdup(str.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return true;
    }
    // The exit status, or -1 when the process is still running after the time.
    int Wait(int nSeconds) {
        if (m_pid <= 0) return m_nStatus;
        const auto deadline = Clock::now() + std::chrono::seconds(nSeconds);
        while (Clock::now() < deadline) {
            int nStatus = 0;
            if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
                return m_nStatus;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    void Signal(int nSignal) {
        if (m_pid > 0) ::kill(m_pid, nSignal);
    }
    void Kill() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        if (Wait(5) < 0) {
            ::kill(m_pid, SIGKILL);
            Wait(5);
        }
    }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_nStatus = -1;
};

// Width and height from a JPEG's start-of-frame marker; {0, 0} when there is none.
std::pair<int, int> JpegSize(const std::string& strJpeg) {
    const auto* p = reinterpret_cast<const unsigned char*>(strJpeg.data());
    const size_t n = strJpeg.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return {0, 0};
    size_t i = 2;
    while (i + 9 < n) {
        if (p[i] != 0xFF) return {0, 0};
        const unsigned char marker = p[i + 1];
        const size_t nLen = (p[i + 2] << 8) | p[i + 3];
        if (marker >= 0xC0 && marker <= 0xC2) {
            return {(p[i + 7] << 8) | p[i + 8], (p[i + 5] << 8) | p[i + 6]};
        }
        i += 2 + nLen;
    }
    return {0, 0};
}

class EndToEndTest : public ::testing::Test {
protected:
    static constexpr int kScreenWidth = 1280;
    static constexpr int kScreenHeight = 800;

    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("kte2e-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root / "client" / "etc");
        fs::create_directories(m_root / "config");
        // The client directory: the executable with its etc\urlserver.xml beside it.
        fs::copy_file(KT_REPORTER_EXE, m_root / "client" / "ktreporter");
        fs::permissions(m_root / "client" / "ktreporter", fs::perms::owner_all);
        StartDisplay();
        StartReceiver();
    }
    void TearDown() override {
        m_receiver.Kill();
        m_display.Kill();
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(m_root, ec);
    }

    void StartDisplay() {
        // Xvfb picks a free display number itself and writes it to the descriptor.
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        const std::string strScreen =
            std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
        ASSERT_TRUE(m_display.Start(
            {KT_XVFB_EXE, "-displayfd", "3", "-screen", "0", strScreen, "-nolisten", "tcp"}, {},
            m_root / "xvfb.out", m_root / "xvfb.err", fds[1]));
        ::close(fds[1]);
        std::string strNumber;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') strNumber += c;
        ::close(fds[0]);
        ASSERT_FALSE(strNumber.empty()) << Slurp(m_root / "xvfb.err");
        m_strDisplay = ":" + strNumber;
    }
    void StartReceiver() {
        ASSERT_TRUE(m_receiver.Start({KT_FEEDBACK_SERVER_EXE, "--listen", "127.0.0.1:0", "--dir",
                                      (m_root / "store").string()},
                                     {"KTREPORTER_CODEPAGE=GBK"}, m_root / "receiver.out",
                                     m_root / "receiver.err"));
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        std::string strOut;
        while (Clock::now() < deadline) {
            strOut = Slurp(m_root / "receiver.out");
            if (strOut.find('\n') != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string strPrefix = "listening on http://127.0.0.1:";
        ASSERT_EQ(0u, strOut.rfind(strPrefix, 0)) << strOut;
        m_nPort = std::stoi(strOut.substr(strPrefix.size()));
        std::ofstream(m_root / "client" / "etc" / "urlserver.xml")
            << "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<root>\n  <url id=\"24\" "
               "path=\"http://127.0.0.1:"
            << m_nPort << "/feedback\"/>\n</root>\n";
    }
    std::vector<std::string> ReporterEnv() const {
        return {"DISPLAY=" + m_strDisplay, "QT_QPA_PLATFORM=xcb",
                "XDG_CONFIG_HOME=" + (m_root / "config").string(), "KTREPORTER_CODEPAGE=GBK",
                "KTREPORTER_TRACE=1", "NO_PROXY=127.0.0.1,localhost",
                "no_proxy=127.0.0.1,localhost",
                // Leak checks stay on in sanitizer builds; only the system libraries' own
                // one-time allocations are excused.
                "LSAN_OPTIONS=suppressions=" KT_LSAN_SUPPRESSIONS ":print_suppressions=0"};
    }
    bool StartReporter(CChild& child, const std::vector<std::string>& vecArgs) {
        std::vector<std::string> vec = {(m_root / "client" / "ktreporter").string()};
        vec.insert(vec.end(), vecArgs.begin(), vecArgs.end());
        return child.Start(vec, ReporterEnv(), m_root / "reporter.out", m_root / "reporter.err");
    }
    // Runs xdotool on the display; its stdout, or an empty string on failure or time-out.
    std::string Xdo(const std::string& strArgs, int nTimeout = 30) const {
        const std::string strCmd = "DISPLAY=" + m_strDisplay + " timeout " +
                                   std::to_string(nTimeout) + " " + KT_XDOTOOL_EXE + " " + strArgs +
                                   " 2>/dev/null";
        std::string strOut;
        FILE* pPipe = ::popen(strCmd.c_str(), "r");
        if (!pPipe) return {};
        char buf[256];
        while (std::fgets(buf, sizeof(buf), pPipe)) strOut += buf;
        if (::pclose(pPipe) != 0) return {};
        while (!strOut.empty() && (strOut.back() == '\n' || strOut.back() == ' '))
            strOut.pop_back();
        return strOut;
    }
    std::string WaitForWindow(const std::string& strTitle) const {
        std::string strId = Xdo("search --sync --onlyvisible --name '^" + strTitle + "$'");
        // Several matches come one per line; the first is the window.
        return strId.substr(0, strId.find('\n'));
    }

    fs::path m_root;
    std::string m_strDisplay;
    int m_nPort = 0;
    CChild m_display;
    CChild m_receiver;
};

TEST_F(EndToEndTest, AReportTypedIntoTheWindowReachesTheReceiver) {
    CChild reporter;
    ASSERT_TRUE(StartReporter(reporter, {"-T", "0", "-U", "u-1001"}));
    const std::string strDlg = WaitForWindow("问题反馈");
    ASSERT_FALSE(strDlg.empty()) << Slurp(m_root / "reporter.err");
    Xdo("windowfocus --sync " + strDlg);
    // The name field has the focus (no stored profile yet); then Tab through the fields as a
    // person would, replacing the prefilled title and description.
    Xdo("type --delay 30 'Zhang San'");
    Xdo("key Tab");
    Xdo("type --delay 30 'zhang.san@example.com'");
    Xdo("key Tab");
    Xdo("type --delay 30 '010-1234'");
    Xdo("key Tab ctrl+a");
    Xdo("type --delay 30 'Cannot log in'");
    Xdo("key Tab ctrl+a");
    Xdo("type --delay 30 'Step one'");
    Xdo("key Return");
    Xdo("type --delay 30 'Step two'");
    // Submit with the button's mnemonic (递交(&S)).
    Xdo("key alt+s");

    const std::string strBox = WaitForWindow("服务器返回信息");
    ASSERT_FALSE(strBox.empty()) << Slurp(m_root / "reporter.err");
    Xdo("windowfocus --sync " + strBox);
    Xdo("key Return");
    EXPECT_EQ(0, reporter.Wait(30)) << Slurp(m_root / "reporter.err");

    // The box said what the receiver answered.
    const std::string strTrace = Slurp(m_root / "reporter.err");
    EXPECT_NE(std::string::npos,
              strTrace.find("MessageBox [服务器返回信息] 反馈已收到，编号 000001"))
        << strTrace;

    const json report = json::parse(Slurp(m_root / "store" / "000001" / "report.json"));
    const json& f = report["fields"];
    EXPECT_EQ("client", f["DATA_FROM"]);
    EXPECT_EQ("0", f["PAGE_TYPE"]);
    EXPECT_EQ("u-1001", f["USER_ID_YY_RDQ012"]);
    EXPECT_EQ("Zhang San", f["F001V_YY_RDQ012"]);
    EXPECT_EQ("zhang.san@example.com", f["F002V_YY_RDQ012"]);
    EXPECT_EQ("010-1234", f["F003V_YY_RDQ012"]);
    EXPECT_EQ("Cannot log in", f["F005V_YY_RDQ013"]);
    EXPECT_EQ("Step one\r\nStep two", f["F007C_YY_RDQ013"]);
    ASSERT_EQ(1u, report["attachments"].size());
    const json& att = report["attachments"][0];
    const std::string strFileName = att["filename"];
    EXPECT_NE(std::string::npos, strFileName.find("\\tmp\\\\ScreenShoot")) << strFileName;
    ASSERT_TRUE(att["storedAs"].is_string());
    const std::string strJpeg =
        Slurp(m_root / "store" / "000001" / att["storedAs"].get<std::string>());
    EXPECT_EQ(std::make_pair(kScreenWidth, kScreenHeight), JpegSize(strJpeg));
    // The screenshot the reporter kept is its owner's alone.
    bool bFound = false;
    for (const auto& entry : fs::directory_iterator(m_root / "client" / "tmp")) {
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
                  fs::status(entry.path()).permissions() & fs::perms::all);
        bFound = true;
    }
    EXPECT_TRUE(bFound);
    // The contact values are remembered for the next report.
    const std::string strProfile =
        Slurp(m_root / "config" / "KTReporter Software" / "ktreporter.conf");
    EXPECT_NE(std::string::npos, strProfile.find("FEEDBACK_NAME=Zhang San")) << strProfile;
}

TEST_F(EndToEndTest, WindowGivenWithHIsCapturedAtItsOwnSize) {
    // A first reporter provides a window to photograph (it takes no screenshot itself).
    CChild first;
    ASSERT_TRUE(StartReporter(first, {"-T", "1"}));
    const std::string strFirst = WaitForWindow("问题反馈");
    ASSERT_FALSE(strFirst.empty());
    const std::string strGeometry = Xdo("getwindowgeometry --shell " + strFirst);
    const auto value = [&strGeometry](const std::string& strKey) {
        const size_t nPos = strGeometry.find(strKey + "=");
        return nPos == std::string::npos ? -1
                                         : std::stoi(strGeometry.substr(nPos + strKey.size() + 1));
    };
    const int nWidth = value("WIDTH");
    const int nHeight = value("HEIGHT");
    ASSERT_GT(nWidth, 0);
    ASSERT_GT(nHeight, 0);

    CChild second;
    ASSERT_TRUE(StartReporter(second, {"-T", "0", "-H", strFirst}));
    // The capture runs before the second dialog is shown.
    std::string strSecond;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        const std::string strAll = Xdo("search --onlyvisible --name '^问题反馈$'", 5);
        if (std::count(strAll.begin(), strAll.end(), '\n') >= 1) {
            for (size_t nPos = 0; nPos < strAll.size();) {
                const size_t nEnd = std::min(strAll.find('\n', nPos), strAll.size());
                if (strAll.substr(nPos, nEnd - nPos) != strFirst)
                    strSecond = strAll.substr(nPos, nEnd - nPos);
                nPos = nEnd + 1;
            }
            if (!strSecond.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(strSecond.empty());
    std::vector<fs::path> vecShots;
    for (const auto& entry : fs::directory_iterator(m_root / "client" / "tmp")) {
        vecShots.push_back(entry.path());
    }
    ASSERT_EQ(1u, vecShots.size());
    EXPECT_EQ(std::make_pair(nWidth, nHeight), JpegSize(Slurp(vecShots[0])));

    for (const std::string& strWindow : {strSecond, strFirst}) {
        Xdo("windowfocus --sync " + strWindow);
        Xdo("key Escape");
    }
    EXPECT_EQ(0, second.Wait(30));
    EXPECT_EQ(0, first.Wait(30));
}

TEST_F(EndToEndTest, CommandLinesThatAreNotPairsEndWithoutAWindow) {
    const std::vector<std::vector<std::string>> vecBad = {
        {"-T"}, {"-T", "0", "-U"}, {"-X", "1"}, {"-TT", "1"}, {"T", "1"},
    };
    for (const auto& vec : vecBad) {
        CChild reporter;
        ASSERT_TRUE(StartReporter(reporter, vec));
        // A shown dialog would hold the process until someone closes it.
        EXPECT_EQ(0, reporter.Wait(30)) << vec[0];
        EXPECT_EQ(std::string::npos, Slurp(m_root / "reporter.err").find("MessageBox"));
    }
    const std::vector<std::vector<std::string>> vecGood = {
        {}, {"-t", "abc"}, {"-D", "0", "-D", "1", "-h", "0", "-p", "x.rar", "-T", "1"}};
    for (const auto& vec : vecGood) {
        CChild reporter;
        ASSERT_TRUE(StartReporter(reporter, vec));
        const std::string strDlg = WaitForWindow("问题反馈");
        ASSERT_FALSE(strDlg.empty());
        Xdo("windowfocus --sync " + strDlg);
        Xdo("key Escape");
        EXPECT_EQ(0, reporter.Wait(30));
    }
    // Nothing was posted by any of them.
    EXPECT_FALSE(fs::exists(m_root / "store" / "000001"));
}

}  // namespace
