// One HTTP transfer at a time on libcurl's easy interface. CHttp_Base runs a transfer on the
// caller's thread; CHttp_Async adds the request id, a worker thread and reporting to its owner.
// One object serves many transfers: the pool recycles it instead of freeing it.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "libcurl/curlholders.h"
#include "platform/sync.h"

class IAsyReporter;
class IHttpReporter;

inline constexpr uint32_t kHttpDefaultTimeout = 300000;
inline constexpr int32_t kHttpInitialBuffer = 4096;
// A reply body held in memory never grows past this many bytes unless the process sets another
// bound (HttpPool_SetMaxReplySize): a run that would pass it fails with -11.
inline constexpr int32_t kHttpDefaultMaxReply = 256 << 20;
// Deflate cannot expand its input more than 1032:1. What a reply decodes to, by libcurl's
// transparent decoding and by the engine's own gzip step together, may not exceed this many bytes
// a byte on the wire (plus one read buffer's worth): a run that would pass it fails with -15.
inline constexpr int64_t kHttpMaxInflateRatio = 1032;

// Bytes from std::malloc, freed with std::free: the buffers handed to callers keep that contract.
struct MALLOC_DELETER {
    void operator()(char* p) const { std::free(p); }
};
using CMallocBytes = std::unique_ptr<char, MALLOC_DELETER>;

class CHttp_Base {
public:
    explicit CHttp_Base(std::u16string strUrl = std::u16string(),
                        uint32_t dwTimeout = kHttpDefaultTimeout);
    virtual ~CHttp_Base();
    CHttp_Base(const CHttp_Base&) = delete;
    CHttp_Base& operator=(const CHttp_Base&) = delete;

    // The transfer: returns (and keeps) the result code.
    virtual int32_t Run();
    // Appends reply body bytes; false when no memory is left for them.
    virtual bool OnWriteData(const char* pData, size_t nCount);
    virtual int32_t IsCancelled() const;
    // Appends one reply header line (nSize * nCount bytes of ANSI text, no terminator).
    virtual bool OnHeaderLine(const char* pText, size_t nSize, size_t nCount);
    // Bytes uploaded so far.
    virtual bool OnProgress(double dValue);
    virtual int32_t GetHttpIndex() const;

    // Creates the easy handle with the default header lines and options (once).
    bool InitCurl();
    // Puts the handle back to a fresh state: defaults only, libcurl's own connect time-out.
    bool ResetCurl();

    void SetFormRequest(std::u16string_view strUrl, std::u16string_view strForm, int32_t bCompress);
    void SetDataRequest(std::u16string_view strUrl, const void* pData, uint32_t nLength,
                        int32_t bCompress);
    // 0 for a null or empty line, else 1; the line follows the default ones.
    int32_t AddHeader(const char16_t* pszLine);
    void SetTimeout(uint32_t dwMilliseconds) { m_dwTimeout = dwMilliseconds; }
    uint32_t GetTimeout() const { return m_dwTimeout; }
    int32_t GetResult() const { return m_nResult; }
    int32_t GetHttpStatus() const { return m_nHttpStatus; }
    const std::u16string& GetUrl() const { return m_strUrl; }
    const std::u16string& GetHeaderText() const { return m_strHeaderText; }
    double GetDownloadSize() const { return m_dDownloadSize; }
    int32_t GetLastCurlCode() const { return m_nLastCurlCode; }
    // Sets the cancel flag; a running transfer aborts at its next progress callback, and one that
    // has not begun yet does not begin (the flag holds until the next start or recycling).
    void Cancel() { m_nCancel.store(1, std::memory_order_relaxed); }

    // A std::malloc'd copy of exactly the received bytes (the caller frees it), or null and 0.
    char* CopyData(int32_t* pLength);
    // The receive buffer itself; with bDetach the object forgets it (the caller frees it then).
    char* TakeData(int32_t* pLength, bool bDetach);
    // The reply declared gzip and its body still starts with the gzip magic.
    bool IsGzipBody();
    // 1 when the last reply arrived whole by its own framing (a Content-Length announced and met,
    // or the chunked end seen; a 204 or 304 has no body to frame), else 0.
    int32_t IsReplyComplete() const { return m_bReplyComplete.load() ? 1 : 0; }

    // The process-wide bound on a reply held in memory; 0 (or anything past 2 GiB - 1) sets the
    // default back. Applies to runs that start afterwards.
    static void SetMaxReplySize(int64_t nBytes);
    static int32_t GetMaxReplySize();

protected:
    static size_t WriteCallback(char* pData, size_t nSize, size_t nCount, void* pUser);
    static size_t HeaderCallback(char* pData, size_t nSize, size_t nCount, void* pUser);
    static int ProgressCallback(void* pUser, curl_off_t nDlTotal, curl_off_t nDlNow,
                                curl_off_t nUlTotal, curl_off_t nUlNow);

    // The default options of a new or reset handle; bConnectTimeout only for a new one. False
    // (the refused option traced, its code kept as the last library code) when one did not take.
    bool ApplyDefaultOptions(bool bConnectTimeout);
    // curl_easy_perform, again up to 11 times while the server sends nothing; a cancel stops it
    // before the next perform. Returns libcurl's code.
    int32_t Perform();
    // Decides whether the body may grow to nNewCount bytes: the size bound, then the ratio to the
    // bytes libcurl has read off the wire. A refusal keeps its code for the run and is traced.
    bool AllowReplyGrowth(int64_t nNewCount);
    // Buffer lock held: room for nNeeded bytes. The first write of a reply sizes the buffer for
    // the whole body when its length was announced and fits the size bound; later growth doubles,
    // never past the bound. False (the buffer as it was) when there is no memory.
    bool ReserveReceiveBuffer(size_t nNeeded);
    // Buffer lock held: a buffer grown past its initial size is freed rather than kept (or zeroed)
    // for the next reply, which sizes its own; an idle object does not pin a large reply.
    void DropLargeReceiveBuffer();
    // The engine's own gzip step on a body libcurl left compressed: its trailer's size is held to
    // both bounds before anything is allocated.
    void DecodeGzipBody();
    // A list that starts with the default lines (kept when it exists).
    bool EnsureHeaderList();
    void DropBody();
    // Recycling: every per-request field back to its constructed value.
    void ResetFields();

    // Touched by the worker during a run and by the pool's thread only between runs.
    kt::CCurlEasy m_hCurl;
    kt::CCurlList m_headerList;
    // Read by the pool's thread while a worker may be finishing a run.
    std::atomic<int32_t> m_nResult{0};
    std::atomic<int32_t> m_nHttpStatus{200};
    std::u16string m_strUrl;
    CMallocBytes m_pBody;
    int32_t m_nBodyLength = 0;
    std::u16string m_strHeaderText;
    std::atomic<int32_t> m_nCancel{0};
    int32_t m_bCompress = 0;
    // Sized from the announced length, else grown geometrically; m_nRecvCount bytes of it are the
    // reply.
    CMallocBytes m_pRecvBuffer;
    int32_t m_nRecvCapacity = 0;
    int32_t m_nRecvCount = 0;
    mutable kt::CCriticalSection m_csBuffer;
    uint32_t m_dwTimeout = kHttpDefaultTimeout;
    double m_dDownloadSize = 0;
    int32_t m_nLastCurlCode = 0;
    // Per run: the bound in force, a bound's refusal (0, -11 or -15), the final reply's framing.
    int32_t m_nMaxReply = kHttpDefaultMaxReply;
    int32_t m_nGuardResult = 0;
    // Per run: a body up to this many bytes passes both bounds without asking libcurl for its wire
    // count again (the count only grows, so what it allowed once stays allowed).
    int64_t m_nGrowthCleared = 0;
    // Per run: the announced length was looked at (on the reply's first write).
    bool m_bLengthAsked = false;
    bool m_bChunked = false;
    std::atomic<bool> m_bReplyComplete{false};
};

// Notifications are posted with nothing but the id, so a message still queued for a released
// (or detached) run could reach the id's next user. Workers count what they post; the pool marks
// every notification posted so far as stale when it lets a run go, and asks for each one it
// dispatches whether it is still wanted. Requests and downloads both keep one.
class CNotificationLedger {
public:
    // Worker side, before each post.
    void CountPosted() { m_nPosted.fetch_add(1, std::memory_order_release); }
    // Pool thread only, with the run's workers stopped.
    void ForgetQueuedNotifications() { m_nDropUntil = m_nPosted.load(std::memory_order_acquire); }
    // Counts one dispatched worker notification; false when it belongs to a forgotten run.
    bool TakeNotification() { return ++m_nDispatched > m_nDropUntil; }

private:
    std::atomic<uint64_t> m_nPosted{0};
    uint64_t m_nDispatched = 0;
    uint64_t m_nDropUntil = 0;
};

class CHttp_Async : public CHttp_Base, public CNotificationLedger {
public:
    CHttp_Async(long nId, IAsyReporter* pOwner);
    // Stops the run, then ends and joins the worker.
    ~CHttp_Async() override;

    bool OnProgress(double dValue) override;
    int32_t GetHttpIndex() const override;

    // Stops a previous run, clears the cancel flag and hands the next run to the worker (created by
    // the first start); false when no thread could be created.
    bool Start();
    // Sets the cancel flag and waits without limit until the run has been reported and is over.
    void Stop();
    // A run was started and is not over yet (over: its result reported, the object left alone).
    bool IsRunning() const { return m_nWorkerState.load() == WORKER_RUN; }
    // Reporter cleared, fields reset, handle reset (added header lines go with it).
    void Recycle();
    // AddHeader for a request whose worker may be running: the list belongs to libcurl until the
    // run ends, so the line joins it when the next run starts. 0 for a null or empty line, else 1.
    int32_t AddHeaderForNextRun(const char16_t* pszLine);

    void SetReporter(IHttpReporter* pReporter) { m_pReporter = pReporter; }
    IHttpReporter* GetReporter() const { return m_pReporter; }
    void SetOwner(IAsyReporter* pOwner) { m_pOwner = pOwner; }
    IAsyReporter* GetOwner() const { return m_pOwner; }
    long GetId() const { return m_nId; }

    // Hands the result of a run to the owner (a stop turns success into -12).
    void NotifyAsyncReporter(int32_t nResult);
    // Pool thread, dispatching a progress message. PROGRESS_UNCLAIMED: no worker value waits (a
    // message of an earlier run, or one posted by hand), deliver what it carries; PROGRESS_STALE:
    // the value waiting was delivered already (a worker that stores a value just before an
    // earlier message is dispatched posts a second message for it), drop it; PROGRESS_NEWEST:
    // *pValue is the newest value of the run, and the next change may post again.
    enum PROGRESS_TAKE { PROGRESS_UNCLAIMED, PROGRESS_STALE, PROGRESS_NEWEST };
    PROGRESS_TAKE TakeProgress(double* pValue) {
        if (!m_bProgressPending.exchange(false, std::memory_order_seq_cst)) {
            return PROGRESS_UNCLAIMED;
        }
        const double dValue = m_dProgress.load(std::memory_order_seq_cst);
        if (dValue == m_dDelivered) return PROGRESS_STALE;
        m_dDelivered = dValue;
        *pValue = dValue;
        return PROGRESS_NEWEST;
    }

protected:
    // The worker: waits for a run, runs and reports it, and waits again until the object goes.
    void WorkerLoop();

    long m_nId;
    IAsyReporter* m_pOwner;
    IHttpReporter* m_pReporter = nullptr;
    std::vector<std::u16string> m_vecNextRunHeaders;
    // Progress is posted only when its value changes, and at most one message per request waits
    // in the queue: a newer value replaces the waiting one (the message carries only the id's
    // claim; the value is read when it is dispatched). m_dPosted is the worker's own.
    double m_dPosted = 0;
    double m_dDelivered = 0;  // the pool thread's own
    std::atomic<double> m_dProgress{0};
    std::atomic<bool> m_bProgressPending{false};
    // One worker for the object's life, parked between runs: a request costs a wake-up, not a new
    // thread. Start sets WORKER_RUN, the worker sets WORKER_IDLE once the run is reported, the
    // destructor WORKER_QUIT; each side waits for the other's change (a few yields, then the
    // condition). The state is written under the mutex and may be read without it.
    enum WORKER_STATE { WORKER_IDLE, WORKER_RUN, WORKER_QUIT };
    void SetWorkerState(int nState);
    void WaitWhileWorkerState(int nState);
    std::thread m_worker;
    std::mutex m_mtxWorker;
    std::condition_variable m_cvWorker;
    std::atomic<int> m_nWorkerState{WORKER_IDLE};
};
