// Screen capture of the feedback dialog: a JPEG of the whole screen, or of one window, written to
// the client's temporary directory before the dialog is shown. On Windows it is GDI and GDI+ (the
// program has started GDI+); elsewhere Qt's screen and image writer (a QGuiApplication runs on the
// calling thread). Called on the GUI thread. No toolkit type appears here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

// What identifies an image encoder: the GDI+ encoder's class id on Windows (laid out as a CLSID),
// the image writer's format name (e.g. "jpeg") elsewhere.
struct ENCODER_CLSID {
#ifdef _WIN32
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
#else
    std::string strFormat;
#endif
};

// Captures the screen (hWnd 0) or the window with that native id (HWND, X11 id), clipped to the
// screen's size, into a JPEG at strPath (family path form, backslashes allowed). The directory is
// created with EnsureDirectoryExists; the file is readable by its owner only, since the picture may
// show private data, and a symbolic link at its name is replaced, never written through. Every
// failure is quiet: the result is 0 when the capture ran or there was nothing to do (empty path, no
// screen, no encoder), -1 when an exception was raised while capturing.
int32_t CaptureScreenToJpeg(std::u16string_view strPath, uint32_t hWnd);

// Index of the first installed image encoder whose MIME type equals strMimeType exactly (case
// counts) and its identity in *pClsid; -1 when there is none.
int GetEncoderClsid(std::u16string_view strMimeType, ENCODER_CLSID* pClsid);

}  // namespace kt
