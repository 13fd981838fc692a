// The screen capture on the offscreen platform: encoder lookup, directory creation, owner-only
// file, and the quiet ways out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <filesystem>
#include <fstream>
#include <string>

#include "functional/capture.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace {

namespace fs = std::filesystem;

TEST(Capture, EncoderLookupIsExactAndCaseSensitive) {
    kt::ENCODER_CLSID clsid;
    EXPECT_GE(kt::GetEncoderClsid(u"image/jpeg", &clsid), 0);
    EXPECT_TRUE(clsid.strFormat == "jpg" || clsid.strFormat == "jpeg") << clsid.strFormat;
    EXPECT_GE(kt::GetEncoderClsid(u"image/png", nullptr), 0);
    for (const char16_t* psz : {u"image/JPEG", u"image/jpe", u""}) {
        EXPECT_EQ(-1, kt::GetEncoderClsid(psz, &clsid));
    }
}

TEST(Capture, WritesAnOwnerOnlyJpegOfTheScreenIntoNewDirectoriesOrNothingQuietly) {
    const fs::path root = fs::temp_directory_path() / ("ktcap-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path file = root / "a" / "b" / "shot.jpeg";
    // The family's form: backslashes, and the doubled one the dialog produces.
    const std::u16string strPath = kt::FromFsPath((root / "a" / "b").string()) + u"\\\\shot.jpeg";
    const auto perms = [&file] { return fs::status(file).permissions() & fs::perms::all; };

    std::vector<std::string> vecTrace;
    kt::TraceSink previous =
        kt::SetTraceSink([&vecTrace](std::string_view str) { vecTrace.emplace_back(str); });
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(strPath, 0));
    kt::SetTraceSink(previous);

    QScreen* pScreen = QGuiApplication::primaryScreen();
    ASSERT_NE(nullptr, pScreen);
    const QSize size = pScreen->geometry().size() * pScreen->devicePixelRatio();
    ASSERT_FALSE(vecTrace.empty());
    EXPECT_EQ("当前屏幕色彩模式为: " + std::to_string(pScreen->depth()) + "\n屏幕大小: " +
                  std::to_string(size.width()) + "*" + std::to_string(size.height()) + "\n",
              vecTrace[0]);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, perms());
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(file.string()), "JPEG"));
    EXPECT_EQ(size, image.size());

    // A second capture to the same name (the same day in a new process) replaces it and keeps
    // it private even when it had been opened up.
    fs::permissions(file, fs::perms::all);
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(strPath, 0));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, perms());

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
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, perms());
    EXPECT_TRUE(image.load(QString::fromStdString(file.string()), "JPEG"));
    EXPECT_EQ(4u, fs::file_size(victim));
    EXPECT_EQ(fs::perms::others_read, fs::status(victim).permissions() & fs::perms::others_read);
    std::error_code ec;
    fs::remove_all(root, ec);

    // An empty path is no failure; a directory that cannot be made ends quietly without a file.
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(u"", 0));
    EXPECT_EQ(0, kt::CaptureScreenToJpeg(u"\\proc\\no-such\\dir\\x.jpeg", 0));
    EXPECT_FALSE(fs::exists("/proc/no-such/dir/x.jpeg"));
}

}  // namespace
