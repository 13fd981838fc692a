// The reporter's tests need a QApplication (offscreen) and a profile store of their own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The profile (QSettings) must not touch the user's own configuration.
    const std::filesystem::path config = std::filesystem::temp_directory_path() /
                                         ("ktreporter-test-config-" + std::to_string(::getpid()));
    std::filesystem::create_directories(config);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (!::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int nResult = 0;
    {
        QApplication app(argc, argv);
        nResult = RUN_ALL_TESTS();
    }
    std::error_code ec;
    std::filesystem::remove_all(config, ec);
    return nResult;
}
