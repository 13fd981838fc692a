#include "functional/capture.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtGui/qguiapplication_platform.h>
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
#include <cstdlib>
#include <exception>

#if defined(KT_CAPTURE_XCB) && QT_CONFIG(xcb)
#include <xcb/xcb.h>
#endif

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

#if defined(KT_CAPTURE_XCB) && QT_CONFIG(xcb)
// The screen, or a window with what covers it, straight from the X server: the reply to one
// GetImage already is a 32-bit image and becomes the QImage as it is, where QScreen::grabWindow
// converts it and copies it twice more (a third of the start-up's time before the dialog). Only
// the common layout (a single screen, 24-bit colour in 32-bit pixels, least significant byte
// first); a null image otherwise, or when the server refused, and the caller asks Qt.
QImage GrabFromX11(uint32_t hWnd) {
    auto* pX11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* pConn = pX11 != nullptr ? pX11->connection() : nullptr;
    if (pConn == nullptr) return {};
    const xcb_setup_t* pSetup = xcb_get_setup(pConn);
    if (pSetup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
        xcb_setup_roots_length(pSetup) != 1)
        return {};
    const xcb_screen_t* pScreen = xcb_setup_roots_iterator(pSetup).data;
    if (pScreen->root_depth != 24) return {};
    bool bLayout = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(pSetup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == 24)
            bLayout = it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
    }
    for (auto itDepth = xcb_screen_allowed_depths_iterator(pScreen); itDepth.rem;
         xcb_depth_next(&itDepth)) {
        for (auto it = xcb_depth_visuals_iterator(itDepth.data); it.rem; xcb_visualtype_next(&it)) {
            if (it.data->visual_id != pScreen->root_visual) continue;
            bLayout = bLayout && it.data->red_mask == 0xFF0000 && it.data->green_mask == 0xFF00 &&
                      it.data->blue_mask == 0xFF;
        }
    }
    if (!bLayout) return {};

    const xcb_window_t nRoot = pScreen->root;
    int16_t x = 0;
    int16_t y = 0;
    uint16_t nWidth = pScreen->width_in_pixels;
    uint16_t nHeight = pScreen->height_in_pixels;
    if (hWnd != 0) {
        // Taken from the root at the window's place, so that what overlaps it is in the picture
        // as the user sees it; a window of another depth is left to Qt.
        xcb_get_geometry_reply_t* pGeometry =
            xcb_get_geometry_reply(pConn, xcb_get_geometry(pConn, hWnd), nullptr);
        xcb_translate_coordinates_reply_t* pPlace = xcb_translate_coordinates_reply(
            pConn, xcb_translate_coordinates(pConn, hWnd, nRoot, 0, 0), nullptr);
        const bool bUsable = pGeometry != nullptr && pPlace != nullptr && pGeometry->depth == 24;
        if (bUsable) {
            x = pPlace->dst_x;
            y = pPlace->dst_y;
            nWidth = pGeometry->width;
            nHeight = pGeometry->height;
        }
        std::free(pGeometry);
        std::free(pPlace);
        if (!bUsable) return {};
    }
    // Copied into a pixmap first, with the windows inside included, as Qt does: a GetImage of an
    // area that leaves the screen would be refused, a copy of it is not.
    const xcb_pixmap_t nPixmap = xcb_generate_id(pConn);
    xcb_create_pixmap(pConn, 24, nPixmap, nRoot, nWidth, nHeight);
    const xcb_gcontext_t nGc = xcb_generate_id(pConn);
    const uint32_t nInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    xcb_create_gc(pConn, nGc, nPixmap, XCB_GC_SUBWINDOW_MODE, &nInferiors);
    xcb_copy_area(pConn, nRoot, nPixmap, nGc, x, y, 0, 0, nWidth, nHeight);
    xcb_get_image_reply_t* pImage = xcb_get_image_reply(
        pConn, xcb_get_image(pConn, XCB_IMAGE_FORMAT_Z_PIXMAP, nPixmap, 0, 0, nWidth, nHeight, ~0u),
        nullptr);
    xcb_free_gc(pConn, nGc);
    xcb_free_pixmap(pConn, nPixmap);
    if (pImage == nullptr) return {};
    const size_t nBytes = static_cast<size_t>(nWidth) * nHeight * 4;
    if (static_cast<size_t>(xcb_get_image_data_length(pImage)) < nBytes || nBytes == 0) {
        std::free(pImage);
        return {};
    }
    // The image keeps the reply and frees it with itself.
    return QImage(
        xcb_get_image_data(pImage), nWidth, nHeight, nWidth * 4, QImage::Format_RGB32,
        [](void* p) { std::free(p); }, pImage);
}
#endif

// A window is taken from the top-left corner of its frame and never larger than the screen; the
// whole screen is taken as it is. Null when the window system gave nothing.
QImage Grab(QScreen* pScreen, uint32_t hWnd, int nScreenWidth, int nScreenHeight) {
    QImage image;
#if defined(KT_CAPTURE_XCB) && QT_CONFIG(xcb)
    if (QGuiApplication::platformName() == QLatin1String("xcb")) image = GrabFromX11(hWnd);
#endif
    if (image.isNull()) image = pScreen->grabWindow(static_cast<WId>(hWnd)).toImage();
    if (image.isNull() || hWnd == 0) return image;
    const int nWidth = std::min(nScreenWidth, image.width());
    const int nHeight = std::min(nScreenHeight, image.height());
    if (nWidth != image.width() || nHeight != image.height()) {
        image = image.copy(0, 0, nWidth, nHeight);
    }
    return image;
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
        const QImage image = Grab(pScreen, hWnd, nScreenWidth, nScreenHeight);
        if (image.isNull()) return 0;
        const std::u16string strFile(strPath);
        EnsureDirectoryExists(strFile);

        ENCODER_CLSID encoder;
        if (GetEncoderClsid(u"image/jpeg", &encoder) < 0) return 0;
        SaveOwnerOnly(image, strFile, encoder);
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
