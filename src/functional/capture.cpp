#include "functional/capture.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QList>
#include <QPixmap>
#include <QScreen>
#include <QString>
#include <algorithm>
#include <exception>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/trace.h"
#include "serverpath/clientpathmanager.h"

namespace kt {
namespace {

// Writes the image through the encoder into a file for its owner alone. The name is predictable
// (a second run on the same day targets it again), so a symbolic link placed there is never
// followed: it is removed and the file created anew, exclusively; should that fail too, nothing is
// written. An existing file is narrowed to the owner as well.
void SaveOwnerOnly(const QImage& image, const std::u16string& strPath,
                   const ENCODER_CLSID& encoder) {
    const std::string strFsPath = ToFsPath(strPath);
    constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(strFsPath.c_str(), kFlags, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(strFsPath.c_str()) == 0) {
        fd = ::open(strFsPath.c_str(), kFlags | O_EXCL, 0600);
    }
    if (fd < 0) {
        KT_TRACE("%s() cannot create %s\n", "CaptureScreenToJpeg", strFsPath.c_str());
        return;
    }
    ::fchmod(fd, 0600);
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return;
    }
    QImageWriter writer(&file, QByteArray::fromStdString(encoder.strFormat));
    writer.write(image);
}

}  // namespace

int GetEncoderClsid(std::u16string_view strMimeType, ENCODER_CLSID* pClsid) {
    const QList<QByteArray> listMime = QImageWriter::supportedMimeTypes();
    if (listMime.isEmpty()) return -1;
    const QByteArray strWanted = QByteArray::fromStdString(ToUtf8(strMimeType));
    for (qsizetype i = 0; i < listMime.size(); ++i) {
        if (listMime[i] != strWanted) continue;
        const QList<QByteArray> listFormats = QImageWriter::imageFormatsForMimeType(listMime[i]);
        if (listFormats.isEmpty()) continue;
        if (pClsid) pClsid->strFormat = listFormats.front().toStdString();
        return static_cast<int>(i);
    }
    return -1;
}

int32_t CaptureScreenToJpeg(std::u16string_view strPath, uint32_t hWnd) {
    QScreen* pScreen = QGuiApplication::primaryScreen();
    if (!pScreen) return 0;
    const qreal dRatio = pScreen->devicePixelRatio();
    const int nScreenWidth = static_cast<int>(pScreen->geometry().width() * dRatio);
    const int nScreenHeight = static_cast<int>(pScreen->geometry().height() * dRatio);
    KT_TRACE("当前屏幕色彩模式为: %d\n屏幕大小: %d*%d\n", pScreen->depth(), nScreenWidth,
             nScreenHeight);
    if (strPath.empty()) return 0;

    try {
        // A window is taken from the top-left corner of its frame and never larger than the
        // screen; the whole screen is taken as it is.
        QPixmap pixmap = pScreen->grabWindow(static_cast<WId>(hWnd));
        if (pixmap.isNull()) return 0;
        if (hWnd != 0) {
            const int nWidth = std::min(nScreenWidth, pixmap.width());
            const int nHeight = std::min(nScreenHeight, pixmap.height());
            if (nWidth != pixmap.width() || nHeight != pixmap.height()) {
                pixmap = pixmap.copy(0, 0, nWidth, nHeight);
            }
        }
        const std::u16string strFile(strPath);
        EnsureDirectoryExists(strFile);

        ENCODER_CLSID encoder;
        if (GetEncoderClsid(u"image/jpeg", &encoder) < 0) return 0;
        SaveOwnerOnly(pixmap.toImage(), strFile, encoder);
    } catch (const std::exception& e) {
        KT_TRACE("%s() exception\n", "CaptureScreenToJpeg");
        return -1;
    } catch (...) {
        KT_TRACE("%s() exception\n", "CaptureScreenToJpeg");
        return -1;
    }
    return 0;
}

}  // namespace kt
