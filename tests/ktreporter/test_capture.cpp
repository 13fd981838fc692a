// The screen capture on either platform (GDI and GDI+ on Windows, Qt's offscreen screen elsewhere):
// a JPEG of the screen's size into new directories for its owner alone, replacing what was at the
// name, and the quiet ways out. (The encoder lookup is asked only for image/jpeg, which the JPEG
// written here shows it finds.)
#ifdef _WIN32
#include <windows.h>
// After <windows.h>, which they need.
#include <aclapi.h>
#else
#include <QGuiApplication>
#include <QScreen>
#endif
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "functional/capture.h"
#include "ktreporter/jpeg_size.h"
#include "platform/paths.h"
#include "support/files.h"
#include "support/scoped.h"

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// The file's DACL allows the current user and nobody else (the system account aside, which Wine
// lists for every file whatever DACL it was created with).
bool IsOwnerOnly(const fs::path& file) {
    HANDLE hToken = nullptr;
    BYTE user[256];
    DWORD cb = sizeof(user);
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken);
    ::GetTokenInformation(hToken, TokenUser, user, cb, &cb);
    ::CloseHandle(hToken);
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pSd = nullptr;
    if (::GetNamedSecurityInfoW(file.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, &pDacl, nullptr, &pSd) != ERROR_SUCCESS) {
        return false;
    }
    int nUser = 0, nOthers = 0;
    for (DWORD i = 0; pDacl && i < pDacl->AceCount; ++i) {
        void* pAce = nullptr;
        ::GetAce(pDacl, i, &pAce);
        if (static_cast<ACE_HEADER*>(pAce)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        PSID pSid = &static_cast<ACCESS_ALLOWED_ACE*>(pAce)->SidStart;
        if (::EqualSid(pSid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid))
            ++nUser;
        else if (!::IsWellKnownSid(pSid, WinLocalSystemSid))
            ++nOthers;
    }
    ::LocalFree(pSd);
    return nUser == 1 && nOthers == 0;
}
// Width, height and colour depth of the screen.
std::vector<int> Screen() {
    HDC hScreen = ::GetDC(nullptr);
    const int nDepth = ::GetDeviceCaps(hScreen, BITSPIXEL);
    ::ReleaseDC(nullptr, hScreen);
    return {::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), nDepth};
}
#else
bool IsOwnerOnly(const fs::path& file) {
    return (fs::status(file).permissions() & fs::perms::all) ==
           (fs::perms::owner_read | fs::perms::owner_write);
}
std::vector<int> Screen() {
    QScreen* pScreen = QGuiApplication::primaryScreen();
    if (!pScreen) return {0, 0, 0};
    const QSize size = pScreen->geometry().size() * pScreen->devicePixelRatio();
    return {size.width(), size.height(), pScreen->depth()};
}
#endif

TEST(Capture, WritesAnOwnerOnlyJpegOfTheScreenIntoNewDirectoriesOrNothingQuietly) {
    const fs::path root = fs::temp_directory_path() / ("ktcap-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path file = root / "a" / "b" / "shot.jpeg";
    // The family's form: backslashes, and the doubled one the dialog produces.
    const std::u16string strPath = kt::FromFsPath((root / "a" / "b").string()) + u"\\\\shot.jpeg";
    const std::vector<int> screen = Screen();
    {
        kttest::CTraceLog trace;
        EXPECT_EQ(0, kt::CaptureScreenToJpeg(strPath, 0));
        ASSERT_FALSE(trace.Lines().empty());
        EXPECT_EQ("当前屏幕色彩模式为: " + std::to_string(screen[2]) + "\n屏幕大小: " +
                      std::to_string(screen[0]) + "*" + std::to_string(screen[1]) + "\n",
                  trace.Lines()[0]);
    }
    EXPECT_EQ(std::make_pair(screen[0], screen[1]), kttest::JpegSize(kttest::ReadFile(file)));
    EXPECT_TRUE(IsOwnerOnly(file));

    // A second capture to the same name (the same day in a new process) replaces a file that others
    // could read, and the new one is private again.
    fs::remove(file);
    std::ofstream(file) << "an older picture, readable by more people";
    fs::permissions(file, fs::perms::all);
    ASSERT_FALSE(IsOwnerOnly(file));
#ifdef _WIN32
    // A window larger than the screen is taken at the screen's size, from its frame's corner.
    HWND hWnd = ::CreateWindowExW(0, L"STATIC", L"big", WS_POPUP | WS_VISIBLE, 0, 0,
                                  screen[0] + 200, 120, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hWnd);
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(strPath,
                                         static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hWnd))));
    ::DestroyWindow(hWnd);
    EXPECT_EQ(std::make_pair(screen[0], 120), kttest::JpegSize(kttest::ReadFile(file)));
    EXPECT_TRUE(IsOwnerOnly(file));
#else
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(strPath, 0));
    EXPECT_TRUE(IsOwnerOnly(file));

    // A symbolic link placed at the name is replaced by the picture; what it pointed at is left
    // as it was.
    const fs::path victim = root / "victim";
    std::ofstream(victim) << "keep";
    fs::permissions(victim,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    fs::remove(file);
    fs::create_symlink(victim, file);
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(strPath, 0));
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_TRUE(IsOwnerOnly(file));
    EXPECT_EQ(std::make_pair(screen[0], screen[1]), kttest::JpegSize(kttest::ReadFile(file)));
    EXPECT_EQ(4u, fs::file_size(victim));
    EXPECT_EQ(fs::perms::others_read, fs::status(victim).permissions() & fs::perms::others_read);
    // A directory that cannot be made ends quietly without a file.
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(u"\\proc\\no-such\\dir\\x.jpeg", 0));
    EXPECT_FALSE(fs::exists("/proc/no-such/dir/x.jpeg"));
#endif
    // An empty path is no failure and writes nothing.
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(u"", 0));
    std::error_code ec;
    fs::remove_all(root, ec);
}

}  // namespace
