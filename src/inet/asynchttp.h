// One HTTP GET or POST at a time through the Windows Internet functions in asynchronous mode.
// The caller's thread starts the transfer and waits for it (optionally with a time-out), a main
// thread of the request drives the Internet functions and a callback thread keeps their status
// callback installed; progress, cancellation and completion go to an IAsyncReporter. The whole
// reply body stays in memory until the reporter collects it.
//
// Threads: OpenRequest runs on its caller's thread; Cancel may come from any thread. A cancel
// made after Arm (or after OpenRequest was entered) and before the transfer's main thread starts
// is kept, and that transfer then ends at once as stopped, without touching the network; a cancel
// while nothing is armed or running does nothing. No lock is held while a reporter is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/inet/wininet.h"
#include "platform/sync.h"

class IAsyncReporter {
public:
    virtual ~IAsyncReporter() = default;
    virtual void ReportStatus(long nId, long nCode) = 0;
    // Stage 0 (value -1) once the request is sent, 2 with the total received after each block,
    // 3 (value 0) at the end, 255 with the status after an exception.
    virtual void ReportProgress(long nId, long nStage, long nValue) = 0;
    virtual void ReportCancelled(long nId) = 0;
    virtual void ReportFinished(long nId) = 0;
};

// Status bits of CAsyncHttp (0 = success).
inline constexpr uint32_t kAsyncBadKind = 0x1;
inline constexpr uint32_t kAsyncStopped = 0x2;
inline constexpr uint32_t kAsyncBusy = 0x3;
inline constexpr uint32_t kAsyncOpenFailed = 0x10000;
inline constexpr uint32_t kAsyncUrlFailed = 0x20000;
inline constexpr uint32_t kAsyncConnectFailed = 0x30000;
inline constexpr uint32_t kAsyncSendFailed = 0x40000;
inline constexpr uint32_t kAsyncThreadFailed = 0x50000;
inline constexpr uint32_t kAsyncException = 0xF0000000;

inline constexpr int kAsyncKindGet = 0;
inline constexpr int kAsyncKindPost = 1;
inline constexpr int kAsyncInitialBuffer = 4096;
inline constexpr int kAsyncReadBlock = 4096;

class CAsyncHttp {
public:
    CAsyncHttp(long nId, IAsyncReporter* pReporter);
    virtual ~CAsyncHttp();
    CAsyncHttp(const CAsyncHttp&) = delete;
    CAsyncHttp& operator=(const CAsyncHttp&) = delete;

    // Runs one transfer and returns when it is over (or the time-out passed); returns the status.
    uint32_t OpenRequest(int nKind, const std::u16string& strUrl, const char* pBody, int nLength);
    // Announces an OpenRequest about to be made on another thread, so that a cancel made before
    // that thread gets there is not lost.
    void Arm();
    void Cancel();
    bool IsRunning() const { return m_nRunning.load() != 0; }
    uint32_t GetStatus() const { return m_dwStatus.load(); }
    void SetTimeout(int nMilliseconds) { m_nTimeout.store(nMilliseconds); }
    void SetExtraHeaders(const std::u16string& strHeaders);
    void SetReporter(IAsyncReporter* pReporter);
    IAsyncReporter* GetReporter() const { return m_pReporter.load(); }
    long GetId() const { return m_nId; }

    // The received bytes, kept by the object (valid until the next transfer or Close).
    const char* GetData(int* pLength) const;
    // As GetData; with bConsume the bytes count as taken: the capacity falls by their number, the
    // buffer start moves past them and the received length becomes 0.
    const char* TakeData(int* pLength, bool bConsume);
    // A copy of the received bytes, safe while the transfer still runs (a timed-out OpenRequest
    // returns before its main thread has stopped writing).
    std::string CopyData() const;
    int GetCapacity() const;

    // Frees the buffers, waits for the main thread and forgets the reporter. The destructor calls
    // it when the owner did not.
    void Close();

    // The object's ANSI bytes, printable ASCII except '%' as they are, everything else as "%XX".
    static std::u16string EscapeObject(const std::u16string& strText);

private:
    static void AsyncMainThread(CAsyncHttp* pThis);
    static void AsyncCallbackThread(CAsyncHttp* pThis);
    static void StatusCallback(kt::HINTERNET hInternet, kt::DWORD_PTR dwContext, uint32_t dwStatus,
                               void* pInfo, uint32_t dwInfoLength);

    void Reset();
    // 0 to go on, 1 when the transfer is to stop.
    int WaitExitEvent();
    // -1 failed, 1 stopped, 0 done.
    int Transfer();
    int TransferSteps();
    void AppendData(const char* pData, int nLength);
    void Progress(long nStage, long nValue);

    std::atomic<int> m_nRunning{0};
    // Guards the hand-over between a cancel and the start of a transfer.
    std::mutex m_startLock;
    bool m_bArmed = false;
    bool m_bCancelPending = false;
    int m_nKind = kAsyncKindGet;
    const long m_nId;
    std::string m_strBody;
    mutable std::mutex m_bufferLock;  // the receive buffer and its counts
    int m_nReceived = 0;
    std::unique_ptr<char[]> m_pStorage;
    size_t m_nBufferOffset = 0;  // where the buffer starts inside m_pStorage (TakeData moves it)
    bool m_bBuffer = false;      // false: no buffer (freed, or taken while empty)
    int m_nCapacity = 0;
    kt::CThread m_thrMain;
    kt::CThread m_thrCallback;
    std::atomic<int> m_nTimeout{0};
    std::atomic<uint32_t> m_dwStatus{0};
    kt::HINTERNET m_hInternet = nullptr;
    std::atomic<kt::HINTERNET> m_hRequest{nullptr};
    kt::CEvent m_evtComplete{false, false};
    kt::CEvent m_evtClosed{false, false};
    kt::CEvent m_evtExit{false, false};
    std::u16string m_strUrl;
    std::u16string m_strHeaders;
    std::atomic<IAsyncReporter*> m_pReporter;
    // A pending read fills these later, so they live as long as the object.
    char m_szReadBlock[kAsyncReadBlock];
    uint32_t m_dwRead = 0;
    bool m_bClosed = false;
};
