// Ranged parallel file download.
//
// CMTRDownload fetches one remote file into one local file with up to ten ranged requests at once:
// it asks the server for the file's size, modification time and range support (one "0-0" request),
// pre-creates the local file at its full size, splits it into parts, runs one CHttp_DownloadFile
// per part on a worker of its own, waits for them, and stamps the finished file with the server's
// modification time. Each part writes through its own file handle at its own offset; parts never
// overlap, so they share nothing but the downloaded-bytes counter.
//
// Threads: a CMTRDownload is driven by one thread (the pool's); its own worker (asynchronous start)
// and the part workers only touch the download through the progress lock and the stop event, and
// report to the owner (the status manager), which posts to the pool's window. Nothing here throws.
//
// Servers without range support: the file is fetched whole by one part without a range, and that
// part counts complete when its transfer succeeded and every byte the transfer delivered reached
// the file (a ranged part counts complete when it wrote exactly its length).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "platform/sync.h"

class IAsyReporter;
class IHttpReporter;
class CMTRDownload;

// At most this many parts run for one download.
inline constexpr int32_t kDownloadMaxParts = 10;
// One part per started MiB of the file (size / 2^20 + 1, capped at kDownloadMaxParts); smaller
// files are fetched by one part.
inline constexpr int32_t kDownloadPartUnit = 0x100000;
// Total time-out of each part in ms, at construction and again after every download.
inline constexpr uint32_t kDownloadPartTimeout = 5000000;
// The wait for part workers that still run after a failed or stopped download.
inline constexpr uint32_t kDownloadStopWaitMs = 500000;

// One part of a download, or a stand-alone information request (id -1, no owner, no download).
// A part runs on a thread of its own. Only the download's thread starts and joins part workers, so
// a part's thread stays attached after it ended until the download's wait has seen that end: a
// finished part is always found and its complete flag checked.
class CHttp_DownloadFile : public CHttp_Async {
public:
    explicit CHttp_DownloadFile(long nId = -1, IAsyReporter* pOwner = nullptr);
    ~CHttp_DownloadFile() override;

    CHttp_DownloadFile(const CHttp_DownloadFile&) = delete;
    CHttp_DownloadFile& operator=(const CHttp_DownloadFile&) = delete;

    // Worker side: the ranged transfer ("start-(start+length-1)", or no range for length -1), then
    // the part's file is closed. Returns the run's result code (Part of the async request codes).
    int32_t Run() override;
    // Worker side: buffers the bytes or writes them to the part's file; the last bytes of a part of
    // known length always reach the file. An empty local path discards (the information request).
    // False on a file error, which fails the transfer.
    bool OnWriteData(const char* pData, size_t nCount) override;
    // The base's cancel flag, or a stop of this part (which a new run does not clear).
    int32_t IsCancelled() const override;
    // Worker side: the base's record, and where the last response's body starts in the file (its
    // Content-Range start, or 0 when it has none).
    bool OnHeaderLine(const char* pText, size_t nSize, size_t nCount) override;

    // Opens the local file (read/write, created if missing, never truncated, shared with the other
    // parts) at nStart and starts the worker. nLength -1 means unknown: no range is asked for.
    // False for an empty URL, a file that cannot be opened or positioned, or no thread; nothing
    // runs then. Called by the download's thread only.
    bool StartPart(const std::u16string& strUrl, const std::u16string& strPath, int32_t nLength,
                   int32_t nStart, CMTRDownload* pDownload);
    // Sets the cancel flag and waits for the worker to end (it closes the file on its way out).
    // Download's thread only.
    void StopPart();
    // Sets the cancel flag only; the worker ends at the transfer's next progress call. Any thread.
    void SignalStop();

    // The part worker's thread while it is attached (running, or ended and not yet joined); null
    // otherwise. Signalled for kt::WaitAny once the worker has ended.
    kt::CThread* GetPartThread() const;

    bool IsComplete() const { return m_bComplete.load(); }
    int32_t GetWritten() const { return m_nWritten.load(); }
    int32_t GetPartLength() const { return m_nPartLength; }
    int32_t GetStartOffset() const { return m_nStartOffset; }

    // Learned by the information request (CMTRDownload::GetReomteSiteInfo).
    uint32_t GetRangeSupport() const { return m_nRangeSupport; }
    int32_t GetRemoteSize() const { return m_nRemoteSize; }
    int64_t GetLastModified() const { return m_tLastModified; }

private:
    friend class CMTRDownload;

    // The parse of the information request's reply headers; false when the server answered 404 or
    // the reply holds no status line or an impossible size.
    bool ParseSiteInfo();
    void CloseFile();

    std::u16string m_strLocalPath;
    struct FILE_CLOSER {
        void operator()(FILE* pFile) const { std::fclose(pFile); }
    };
    std::unique_ptr<FILE, FILE_CLOSER> m_pFile;
    int32_t m_nPartLength = -1;
    int32_t m_nStartOffset = 0;
    std::atomic<int32_t> m_nWritten{0};
    uint32_t m_nRangeSupport = 0;
    std::atomic<bool> m_bComplete{false};
    int32_t m_nRemoteSize = 0;
    int64_t m_tLastModified = 0;
    CMTRDownload* m_pDownload = nullptr;

    // Bytes held back so that the file sees few, large writes.
    std::vector<char> m_vecHold;
    size_t m_nHeld = 0;
    std::atomic<bool> m_bStopPart{false};
    // Offset of the last response's first body byte; -1 when its Content-Range cannot be read.
    int64_t m_nReplyStart = 0;
    std::unique_ptr<kt::CThread> m_pPartThread;
};

// One download. Created by the pool (NewDownload) with its id, or on the caller's stack by
// HttpPool_DownloadFileSync (id -1). Every operation is for the pool's thread.
class CMTRDownload : public CNotificationLedger {
public:
    explicit CMTRDownload(long nId = -1, IAsyReporter* pOwner = nullptr);
    // Stops the download (its worker and every part) and frees the parts.
    ~CMTRDownload();

    CMTRDownload(const CMTRDownload&) = delete;
    CMTRDownload& operator=(const CMTRDownload&) = delete;

    // The information request: a "0-0" range request for strUrl run on the caller's thread with
    // pPart's easy handle and time-out, its body discarded; on success pPart holds the range
    // support, remote size and last-modified time. Returns 0, -1 (empty URL or no part), -10 (no
    // easy handle), the transfer's code (-5, -11, -17, ...), or -100 when the reply headers do not
    // parse, including a 404 answer.
    static int32_t GetReomteSiteInfo(CHttp_DownloadFile* pPart, const std::u16string& strUrl);

    // Prepares (information request, local file pre-created at its size, part count) and then
    // either runs the download on the caller's thread and answers whether the file was completed
    // (bWait), or starts the download's worker, which runs it and reports OnAsyncFinished /
    // OnAsyncFailed(id, 0) to the owner, and answers whether that thread was created. A failed
    // preparation answers false and nothing runs. A previous run of this object is stopped first.
    bool StartDownload(bool bWait);
    // Stores URL, path and reporter, prepares and runs on the caller's thread: true when the file
    // was completed. Nothing is reported to the owner.
    bool DownloadSync(const std::u16string& strUrl, const std::u16string& strPath,
                      IHttpReporter* pReporter);
    // Stops every part and the download's worker and waits for them; a running download then ends
    // as failed (the worker reports OnAsyncFailed with 0). Harmless when nothing runs.
    void Stop();

    // Settings the pool hands over before StartDownload (SetDownload).
    void SetUrl(const std::u16string& strUrl) { m_strUrl = strUrl; }
    void SetPath(const std::u16string& strPath) { m_strPath = strPath; }
    void SetReporter(IHttpReporter* pReporter) { m_pReporter = pReporter; }
    void SetOwner(IAsyReporter* pOwner) { m_pOwner = pOwner; }
    // Per-part total time-out in ms; back to kDownloadPartTimeout after every download.
    void SetPartTimeout(uint32_t dwTimeout) { m_dwPartTimeout = dwTimeout; }

    long GetId() const { return m_nId; }
    IHttpReporter* GetReporter() const { return m_pReporter; }
    IAsyReporter* GetOwner() const { return m_pOwner; }
    const std::u16string& GetUrl() const { return m_strUrl; }
    const std::u16string& GetPath() const { return m_strPath; }
    uint32_t GetPartTimeout() const { return m_dwPartTimeout; }
    // The download's own worker is alive.
    bool IsRunning() const;

    // As learned by the last preparation (file size and downloaded count go back to 0 when a
    // download finishes; part count and range support stay).
    int32_t GetPartCount() const { return m_nPartCount; }
    uint32_t GetRangeSupport() const { return m_nRangeSupport; }
    int32_t GetFileSize() const { return m_nFileSize; }
    int32_t GetDownloaded() const;
    int64_t GetLastModified() const { return m_tLastModified; }

    // The part count rule: 1 without range support or below 1 MiB, else size / 2^20 + 1, at
    // most 10.
    static int32_t PartCountFor(uint32_t nRangeSupport, int32_t nFileSize);

private:
    friend class CHttp_DownloadFile;

    bool Prepare();
    // Creates nCount fresh part objects (id -1, no owner); false for a count outside 1..10.
    bool CreateParts(int32_t nCount);
    // Splits the file and starts one part per slice; false (nothing left running) on any failure.
    bool CreateAndStartParts();
    // CreateAndStartParts under the parts lock, without the clean-up of a failure.
    bool StartParts();
    bool WaitForDownloadFinished();
    // The whole download on the calling thread: start the parts, wait, finish.
    bool RunDownload();
    void FinishDownload(bool bSuccess);
    // Signals every part first (so that they abort together), then waits for each.
    void StopParts();
    void ReleaseParts();
    void WorkerMain();
    // Part worker side: count the bytes and tell the owner.
    void AddDownloaded(int32_t nCount);

    // What the download's threads read while a run is under way, copied from the settings when it
    // is prepared: the pool may change the settings of a running download (SetDownload,
    // DetachReporter) without racing its workers.
    struct RUN_SETTINGS {
        std::u16string strUrl;
        std::u16string strPath;
        IHttpReporter* pReporter = nullptr;
        IAsyReporter* pOwner = nullptr;
        uint32_t dwPartTimeout = kDownloadPartTimeout;
    };

    std::u16string m_strUrl;
    std::u16string m_strPath;
    int32_t m_nPartCount = 1;
    uint32_t m_nRangeSupport = 0;
    std::atomic<uint32_t> m_dwPartTimeout{kDownloadPartTimeout};
    std::atomic<int32_t> m_nFileSize{0};
    int32_t m_nDownloaded = 0;
    RUN_SETTINGS m_run;
    mutable kt::CCriticalSection m_csProgress;
    std::unique_ptr<kt::CEvent> m_pStopEvent;
    std::unique_ptr<kt::CThread> m_pThread;
    int64_t m_tLastModified = 0;
    // Guards the parts array against Stop while the worker creates or frees parts.
    kt::CCriticalSection m_csParts;
    std::vector<std::unique_ptr<CHttp_DownloadFile>> m_vecParts;
    IHttpReporter* m_pReporter = nullptr;
    IAsyReporter* m_pOwner = nullptr;
    long m_nId = -1;
};
