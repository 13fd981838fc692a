// The capture with the platform's own screen and imaging services: a GDI copy of the screen's (or
// the window's) device context into a compatible bitmap, handed to GDI+ with a palette from the
// memory context's colour table, and saved through the installed JPEG encoder at its defaults.
#include "functional/gdiplus_win.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "functional/capture.h"
#include "platform/trace.h"
#include "serverpath/clientpathmanager.h"

namespace kt {
namespace {

const wchar_t* W(const std::u16string& str) {
    return reinterpret_cast<const wchar_t*>(str.c_str());
}

// A security descriptor whose DACL lets the current user alone read, write and delete the file,
// inheriting nothing from the directory: the picture may show private data.
class COwnerOnlySecurity {
public:
    COwnerOnlySecurity() {
        HANDLE hToken = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) return;
        DWORD cbUser = 0;
        ::GetTokenInformation(hToken, TokenUser, nullptr, 0, &cbUser);
        m_vecUser.resize(cbUser);
        const bool bUser = cbUser != 0 && ::GetTokenInformation(hToken, TokenUser, m_vecUser.data(),
                                                                cbUser, &cbUser);
        ::CloseHandle(hToken);
        if (!bUser) return;
        PSID pSid = reinterpret_cast<TOKEN_USER*>(m_vecUser.data())->User.Sid;
        m_vecAcl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(pSid));
        auto* pAcl = reinterpret_cast<ACL*>(m_vecAcl.data());
        m_bValid = ::InitializeAcl(pAcl, static_cast<DWORD>(m_vecAcl.size()), ACL_REVISION) &&
                   ::AddAccessAllowedAce(pAcl, ACL_REVISION,
                                         FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, pSid) &&
                   ::InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) &&
                   ::SetSecurityDescriptorDacl(&m_sd, TRUE, pAcl, FALSE) &&
                   ::SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        m_sa = {sizeof(m_sa), &m_sd, FALSE};
    }
    SECURITY_ATTRIBUTES* Get() { return m_bValid ? &m_sa : nullptr; }

private:
    std::vector<BYTE> m_vecUser;
    std::vector<BYTE> m_vecAcl;
    SECURITY_DESCRIPTOR m_sd{};
    SECURITY_ATTRIBUTES m_sa{};
    bool m_bValid = false;
};

// Encodes into memory, then writes the bytes to a file created anew for its owner alone. The name
// is predictable (a second run on the same day targets it again): whatever is there (an old
// picture, a link to somewhere else) is removed, never written through, and the file must be new;
// should someone have put it back meanwhile, nothing is written.
void SaveOwnerOnly(Gdiplus::Bitmap& bitmap, const std::u16string& strPath, const CLSID& clsid) {
    IStream* pStream = nullptr;
    if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, &pStream))) return;
    HGLOBAL hMem = nullptr;
    STATSTG st{};
    if (bitmap.Save(pStream, &clsid, nullptr) == Gdiplus::Ok &&
        SUCCEEDED(::GetHGlobalFromStream(pStream, &hMem)) &&
        SUCCEEDED(pStream->Stat(&st, STATFLAG_NONAME))) {
        COwnerOnlySecurity security;
        ::DeleteFileW(W(strPath));
        HANDLE hFile =
            security.Get()
                ? ::CreateFileW(W(strPath), GENERIC_WRITE, 0, security.Get(), CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                : INVALID_HANDLE_VALUE;
        if (hFile == INVALID_HANDLE_VALUE) {
            KT_TRACE("%s() cannot create the file (error %lu)\n", "CaptureScreenToJpeg",
                     ::GetLastError());
        } else {
            const void* pBytes = ::GlobalLock(hMem);
            DWORD cbWritten = 0;
            if (pBytes) {
                ::WriteFile(hFile, pBytes, static_cast<DWORD>(st.cbSize.QuadPart), &cbWritten,
                            nullptr);
                ::GlobalUnlock(hMem);
            }
            ::CloseHandle(hFile);
        }
    }
    pStream->Release();
}

}  // namespace

int GetEncoderClsid(std::u16string_view strMimeType, ENCODER_CLSID* pClsid) {
    UINT nEncoders = 0;
    UINT cbSize = 0;
    Gdiplus::GetImageEncodersSize(&nEncoders, &cbSize);
    if (cbSize == 0) return -1;
    auto* pInfo = static_cast<Gdiplus::ImageCodecInfo*>(std::malloc(cbSize));
    if (!pInfo) return -1;
    int nIndex = -1;
    if (Gdiplus::GetImageEncoders(nEncoders, cbSize, pInfo) == Gdiplus::Ok) {
        for (UINT i = 0; i < nEncoders; ++i) {
            const auto* pszMime = reinterpret_cast<const char16_t*>(pInfo[i].MimeType);
            if (pszMime && strMimeType == pszMime) {
                if (pClsid) {
                    static_assert(sizeof(ENCODER_CLSID) == sizeof(CLSID));
                    std::memcpy(pClsid, &pInfo[i].Clsid, sizeof(CLSID));
                }
                nIndex = static_cast<int>(i);
                break;
            }
        }
    }
    std::free(pInfo);
    return nIndex;
}

int32_t CaptureScreenToJpeg(std::u16string_view strPath, uint32_t hWndCapture) {
    HWND hWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(hWndCapture));
    HDC hDC = ::GetWindowDC(hWnd);
    if (!hDC) return 0;
    const int nBitsPerPixel = ::GetDeviceCaps(hDC, BITSPIXEL);
    const int nScreenWidth = ::GetDeviceCaps(hDC, HORZRES);
    const int nScreenHeight = ::GetDeviceCaps(hDC, VERTRES);
    KT_TRACE("当前屏幕色彩模式为: %d\n屏幕大小: %d*%d\n", nBitsPerPixel, nScreenWidth,
             nScreenHeight);
    int nWidth = nScreenWidth;
    int nHeight = nScreenHeight;
    if (hWnd) {
        // The window rectangle includes the frame and caption; never more than the screen.
        RECT rc{};
        ::GetWindowRect(hWnd, &rc);
        nWidth = std::min(nScreenWidth, static_cast<int>(rc.right - rc.left));
        nHeight = std::min(nScreenHeight, static_cast<int>(rc.bottom - rc.top));
    }
    if (strPath.empty()) {
        ::ReleaseDC(hWnd, hDC);
        return 0;
    }

    int32_t nResult = 0;
    HDC hMemDC = nullptr;
    HBITMAP hBitmap = nullptr;
    HGDIOBJ hOldBitmap = nullptr;
    LOGPALETTE* pLogPal = nullptr;
    HPALETTE hPal = nullptr;
    try {
        hMemDC = ::CreateCompatibleDC(hDC);
        hBitmap = ::CreateCompatibleBitmap(hDC, nWidth, nHeight);
        if (hMemDC && hBitmap) {
            hOldBitmap = ::SelectObject(hMemDC, hBitmap);
            ::BitBlt(hMemDC, 0, 0, nWidth, nHeight, hDC, 0, 0, SRCCOPY);

            const std::u16string strFile(strPath);
            EnsureDirectoryExists(strFile);

            // One palette entry per plane of the bitmap, from the memory context's colour table:
            // it only matters on palettised screens.
            BITMAP bm{};
            ::GetObjectW(hBitmap, sizeof(bm), &bm);
            const WORD nEntries = bm.bmPlanes ? bm.bmPlanes : 1;
            pLogPal = static_cast<LOGPALETTE*>(
                std::calloc(1, sizeof(LOGPALETTE) + nEntries * sizeof(PALETTEENTRY)));
            if (pLogPal) {
                pLogPal->palVersion = 0x300;
                pLogPal->palNumEntries = nEntries;
                std::vector<RGBQUAD> vecColors(nEntries);
                ::GetDIBColorTable(hMemDC, 0, nEntries, vecColors.data());
                for (WORD i = 0; i < nEntries; ++i) {
                    pLogPal->palPalEntry[i] = {vecColors[i].rgbRed, vecColors[i].rgbGreen,
                                               vecColors[i].rgbBlue, 0};
                }
                hPal = ::CreatePalette(pLogPal);
            }
            Gdiplus::Bitmap bitmap(hBitmap, hPal);
            ENCODER_CLSID encoder{};
            if (bitmap.GetLastStatus() == Gdiplus::Ok &&
                GetEncoderClsid(u"image/jpeg", &encoder) >= 0) {
                CLSID clsid;
                std::memcpy(&clsid, &encoder, sizeof(clsid));
                SaveOwnerOnly(bitmap, strFile, clsid);
            }
        }
    } catch (...) {
        KT_TRACE("%s() exception\n", "CaptureScreenToJpeg");
        nResult = -1;
    }
    // Released in the reverse order of acquisition.
    std::free(pLogPal);
    if (hPal) ::DeleteObject(hPal);
    if (hOldBitmap) ::SelectObject(hMemDC, hOldBitmap);
    if (hBitmap) ::DeleteObject(hBitmap);
    if (hMemDC) ::DeleteDC(hMemDC);
    ::ReleaseDC(hWnd, hDC);
    return nResult;
}

}  // namespace kt
