// The transfer engine against bare libcurl on loopback, each beside its floor in the same run:
// a 200 MB GET handed over (TakeData) and copied out (GetData), 1,000 sequential 1 KiB requests on
// one reused id, a 50 MB POST, and the peak memory of a 200 MB reply either way. Prints the ratios
// (floor time / engine time, medians of five repetitions) at the end.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_times.h"
#include "httpdownload/httppool.h"
#include "httpdownload/httppublic.h"
#include "platform/codepage.h"
#include "platform/largebuffer.h"
#include "platform/msgwindow.h"
#include "support/http_server.h"

namespace {

constexpr size_t kBigReply = 200u << 20;
constexpr size_t kBigPost = 50u << 20;
constexpr size_t kSmallReply = 1024;
constexpr int kSequential = 1000;

// Every request (GET or POST, its body read and dropped) gets 200 with the same body, sent straight
// from memory, so that the server costs both sides of a comparison alike.
std::unique_ptr<kttest::CHttpServer> MakeServer(size_t nBodySize) {
    auto pServer = std::make_unique<kttest::CHttpServer>();
    std::string strBody(nBodySize, 'b');
    for (size_t i = 0; i < nBodySize; i += 4096) strBody[i] = static_cast<char>('a' + i % 26);
    pServer->SetRecording(false);
    pServer->SetDefaultReply({200, {{"Content-Type", "application/octet-stream"}}, strBody});
    return pServer;
}

kttest::CHttpServer& BigServer() {
    static const std::unique_ptr<kttest::CHttpServer> s_pServer = MakeServer(kBigReply);
    return *s_pServer;
}

kttest::CHttpServer& SmallServer() {
    static const std::unique_ptr<kttest::CHttpServer> s_pServer = MakeServer(kSmallReply);
    return *s_pServer;
}

class CWaiter : public IHttpReporter {
public:
    int32_t OnRequestFinished(long /*nId*/) override {
        m_bDone = true;
        m_nResult = 0;
        return 0;
    }
    int32_t OnRequestFailed(long /*nId*/, int32_t nResult) override {
        m_bDone = true;
        m_nResult = nResult;
        return 0;
    }
    bool m_bDone = false;
    int32_t m_nResult = 0;
};

// One request on the id, pumped to its end on this (the pool's) thread.
int32_t EngineRequest(long& nId, const std::u16string& strUrl, const void* pBody, size_t nBody,
                      CWaiter& waiter) {
    waiter.m_bDone = false;
    const int nStarted = HttpPool_RequestData(&nId, strUrl.c_str(), pBody,
                                              static_cast<uint32_t>(nBody), &waiter, 600000, 0, 0);
    if (nStarted != 0) return nStarted;
    while (!waiter.m_bDone) kt::PumpMessagesFor(100);
    return waiter.m_nResult;
}

struct CURL_SINK {
    char* pData = nullptr;
    size_t nSize = 0;
    size_t nCapacity = 0;
};

// What a careful bare program does: grow by doubling, keep the bytes in one block.
size_t CollectCallback(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pSink = static_cast<CURL_SINK*>(pUser);
    const size_t n = nSize * nCount;
    if (pSink->nSize + n > pSink->nCapacity) {
        size_t nNew = pSink->nCapacity ? pSink->nCapacity * 2 : 16384;
        while (nNew < pSink->nSize + n) nNew *= 2;
        char* pNew = static_cast<char*>(std::realloc(pSink->pData, nNew));
        if (pNew == nullptr) return 0;
        pSink->pData = pNew;
        pSink->nCapacity = nNew;
    }
    std::memcpy(pSink->pData + pSink->nSize, pData, n);
    pSink->nSize += n;
    return n;
}

// The same program that also sizes its buffer from the announced length and asks for huge pages,
// as the engine does: what is left between the two is the engine's own overhead.
struct SIZED_SINK {
    CURL* hCurl = nullptr;
    CURL_SINK sink;
};

size_t SizedCallback(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pSized = static_cast<SIZED_SINK*>(pUser);
    if (pSized->sink.pData == nullptr) {
        curl_off_t nAnnounced = -1;
        curl_easy_getinfo(pSized->hCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nAnnounced);
        if (nAnnounced > 0) {
            pSized->sink.pData = kt::AllocLargeBuffer(static_cast<size_t>(nAnnounced));
            if (pSized->sink.pData == nullptr) return 0;
            pSized->sink.nCapacity = static_cast<size_t>(nAnnounced);
        }
    }
    return CollectCallback(pData, nSize, nCount, &pSized->sink);
}

CURL* BareHandle(CURL_SINK& sink) {
    CURL* hCurl = curl_easy_init();
    curl_easy_setopt(hCurl, CURLOPT_WRITEFUNCTION, &CollectCallback);
    curl_easy_setopt(hCurl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(hCurl, CURLOPT_NOSIGNAL, 1L);
    return hCurl;
}

class CPool {
public:
    CPool() { HttpPool_Initialize(nullptr); }
    ~CPool() { HttpPool_Uninitialize(); }
};

void BM_Get200M_Engine(benchmark::State& state) {
    CPool pool;
    CWaiter waiter;
    long nId = -1;
    const std::u16string strUrl = kt::FromUtf8(BigServer().Url());
    for (auto _ : state) {
        if (EngineRequest(nId, strUrl, nullptr, 0, waiter) != 0)
            state.SkipWithError("request failed");
        int32_t nLength = 0;
        // The reply buffer itself, as the engine holds it: no copy for the caller.
        std::free(HttpPool().TakeData(nId, &nLength));
        if (static_cast<size_t>(nLength) != kBigReply) state.SkipWithError("short reply");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigReply));
}

void BM_Get200M_EngineGetData(benchmark::State& state) {
    CPool pool;
    CWaiter waiter;
    long nId = -1;
    const std::u16string strUrl = kt::FromUtf8(BigServer().Url());
    for (auto _ : state) {
        if (EngineRequest(nId, strUrl, nullptr, 0, waiter) != 0)
            state.SkipWithError("request failed");
        long nLength = 0;
        std::free(HttpPool_GetData(nId, &nLength));
        if (static_cast<size_t>(nLength) != kBigReply) state.SkipWithError("short reply");
        HttpPool_Release(nId);  // frees the engine's copy too, as a caller done with it would
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigReply));
}

void BM_Get200M_BareCurl(benchmark::State& state) {
    CURL_SINK sink;
    CURL* hCurl = BareHandle(sink);
    const std::string strUrl = BigServer().Url();
    curl_easy_setopt(hCurl, CURLOPT_URL, strUrl.c_str());
    for (auto _ : state) {
        sink = CURL_SINK{};
        if (curl_easy_perform(hCurl) != CURLE_OK || sink.nSize != kBigReply) {
            state.SkipWithError("bare request failed");
        }
        std::free(sink.pData);
    }
    curl_easy_cleanup(hCurl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigReply));
}

void BM_Get200M_BareCurlSized(benchmark::State& state) {
    SIZED_SINK sized;
    CURL* hCurl = BareHandle(sized.sink);
    sized.hCurl = hCurl;
    curl_easy_setopt(hCurl, CURLOPT_WRITEFUNCTION, &SizedCallback);
    curl_easy_setopt(hCurl, CURLOPT_WRITEDATA, &sized);
    const std::string strUrl = BigServer().Url();
    curl_easy_setopt(hCurl, CURLOPT_URL, strUrl.c_str());
    for (auto _ : state) {
        sized.sink = CURL_SINK{};
        if (curl_easy_perform(hCurl) != CURLE_OK || sized.sink.nSize != kBigReply) {
            state.SkipWithError("bare request failed");
        }
        std::free(sized.sink.pData);
    }
    curl_easy_cleanup(hCurl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigReply));
}

void BM_Seq1K_Engine(benchmark::State& state) {
    CPool pool;
    CWaiter waiter;
    long nId = -1;
    const std::u16string strUrl = kt::FromUtf8(SmallServer().Url());
    for (auto _ : state) {
        for (int i = 0; i < kSequential; ++i) {
            if (EngineRequest(nId, strUrl, nullptr, 0, waiter) != 0) {
                state.SkipWithError("request failed");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kSequential);
}

void BM_Seq1K_BareThreadPerRequest(benchmark::State& state) {
    CURL_SINK sink;
    CURL* hCurl = BareHandle(sink);
    const std::string strUrl = SmallServer().Url();
    curl_easy_setopt(hCurl, CURLOPT_URL, strUrl.c_str());
    for (auto _ : state) {
        for (int i = 0; i < kSequential; ++i) {
            sink.nSize = 0;
            CURLcode nCode = CURLE_OK;
            std::thread worker([&] { nCode = curl_easy_perform(hCurl); });
            worker.join();
            if (nCode != CURLE_OK) state.SkipWithError("bare request failed");
        }
    }
    std::free(sink.pData);
    curl_easy_cleanup(hCurl);
    state.SetItemsProcessed(state.iterations() * kSequential);
}

void BM_Seq1K_BareOneThread(benchmark::State& state) {
    CURL_SINK sink;
    CURL* hCurl = BareHandle(sink);
    const std::string strUrl = SmallServer().Url();
    curl_easy_setopt(hCurl, CURLOPT_URL, strUrl.c_str());
    for (auto _ : state) {
        for (int i = 0; i < kSequential; ++i) {
            sink.nSize = 0;
            if (curl_easy_perform(hCurl) != CURLE_OK) state.SkipWithError("bare request failed");
        }
    }
    std::free(sink.pData);
    curl_easy_cleanup(hCurl);
    state.SetItemsProcessed(state.iterations() * kSequential);
}

const std::string& PostBody() {
    static const std::string s_body(kBigPost, 'p');
    return s_body;
}

void BM_Post50M_Engine(benchmark::State& state) {
    CPool pool;
    CWaiter waiter;
    long nId = -1;
    const std::u16string strUrl = kt::FromUtf8(SmallServer().Url("/post"));
    for (auto _ : state) {
        if (EngineRequest(nId, strUrl, PostBody().data(), PostBody().size(), waiter) != 0) {
            state.SkipWithError("request failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigPost));
}

void BM_Post50M_BareCopyOnce(benchmark::State& state) {
    CURL_SINK sink;
    CURL* hCurl = BareHandle(sink);
    const std::string strUrl = SmallServer().Url("/post");
    curl_easy_setopt(hCurl, CURLOPT_URL, strUrl.c_str());
    curl_slist* pHeaders = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(hCurl, CURLOPT_HTTPHEADER, pHeaders);
    for (auto _ : state) {
        sink.nSize = 0;
        char* pCopy = static_cast<char*>(std::malloc(kBigPost));
        std::memcpy(pCopy, PostBody().data(), kBigPost);
        curl_easy_setopt(hCurl, CURLOPT_POSTFIELDS, pCopy);
        curl_easy_setopt(hCurl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(kBigPost));
        if (curl_easy_perform(hCurl) != CURLE_OK) state.SkipWithError("bare request failed");
        std::free(pCopy);
    }
    std::free(sink.pData);
    curl_slist_free_all(pHeaders);
    curl_easy_cleanup(hCurl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigPost));
}

long ReadStatusKb(const char* pszField) {
    std::ifstream status("/proc/self/status");
    std::string strLine;
    while (std::getline(status, strLine)) {
        if (strLine.rfind(pszField, 0) == 0)
            return std::atol(strLine.c_str() + std::strlen(pszField));
    }
    return -1;
}

// Peak resident memory that one 200 MB reply adds over the reply's size: with GetData the reply
// and the caller's copy are both alive at the end (the contract's one copy), with TakeData only the
// reply. The kernel's high-water mark is reset first (clear_refs 5).
void PeakMemory(benchmark::State& state, bool bTake, const char* pszCounter) {
    CPool pool;
    CWaiter waiter;
    long nId = -1;
    const std::u16string strUrl = kt::FromUtf8(BigServer().Url());
    double dRatio = 0;
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";
        const long nBase = ReadStatusKb("VmRSS:");
        if (EngineRequest(nId, strUrl, nullptr, 0, waiter) != 0)
            state.SkipWithError("request failed");
        char* pReply = nullptr;
        if (bTake) {
            int32_t nLength = 0;
            pReply = HttpPool().TakeData(nId, &nLength);
        } else {
            long nLength = 0;
            pReply = HttpPool_GetData(nId, &nLength);
        }
        const long nPeak = ReadStatusKb("VmHWM:");
        std::free(pReply);
        HttpPool_Release(nId);
        dRatio = static_cast<double>(nPeak - nBase) * 1024.0 / static_cast<double>(kBigReply);
    }
    state.counters[pszCounter] = dRatio;
}

void BM_Get200M_PeakTakeData(benchmark::State& state) {
    PeakMemory(state, true, "peak_take");
}

void BM_Get200M_PeakGetData(benchmark::State& state) {
    PeakMemory(state, false, "peak_getdata");
}

// Ratios are taken between medians of kRepetitions repetitions, interleaved by
// --benchmark_enable_random_interleaving when the machine is shared.
constexpr int kRepetitions = 5;
BENCHMARK(BM_Get200M_BareCurl)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Get200M_BareCurlSized)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Get200M_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Get200M_EngineGetData)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Seq1K_BareThreadPerRequest)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Seq1K_BareOneThread)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Seq1K_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Post50M_BareCopyOnce)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Post50M_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Get200M_PeakTakeData)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Get200M_PeakGetData)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions);

// The floor's time over the engine's: 1.0 means as fast as the floor.
void PrintRatio(const ktbench::CTimesReporter& reporter, const char* pszWhat,
                const std::string& strFloor, const std::string& strEngine, double dGoal) {
    const double dFloor = reporter.Time(strFloor);
    const double dEngine = reporter.Time(strEngine);
    if (dFloor <= 0 || dEngine <= 0) return;
    const double dRatio = dFloor / dEngine;
    if (dGoal <= 0) {
        std::printf("%-44s %.2fx (reported only)\n", pszWhat, dRatio);
        return;
    }
    std::printf("%-44s %.2fx of its floor (goal %.1fx) %s\n", pszWhat, dRatio, dGoal,
                dRatio >= dGoal ? "ok" : "BELOW");
}

// Medians over the repetitions; a goal of 0 reports the figure only.
void PrintPeak(const ktbench::CTimesReporter& reporter, const char* pszWhat, const char* pszCounter,
               double dGoal) {
    const double dPeak = reporter.Counter(pszCounter);
    if (dPeak <= 0) return;
    if (dGoal <= 0) {
        std::printf("%-44s %.2fx the reply (reported only)\n", pszWhat, dPeak);
        return;
    }
    std::printf("%-44s %.2fx the reply (goal at most %.1fx) %s\n", pszWhat, dPeak, dGoal,
                dPeak <= dGoal ? "ok" : "ABOVE");
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_ALL);
    benchmark::Initialize(&argc, argv);
    ktbench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatio(reporter, "200 MB GET + TakeData (hand-over)",
               "BM_Get200M_BareCurl/iterations:2/repeats:5/real_time",
               "BM_Get200M_Engine/iterations:2/repeats:5/real_time", 0.9);
    PrintRatio(reporter, "200 MB GET + GetData (contract: one copy)",
               "BM_Get200M_BareCurl/iterations:2/repeats:5/real_time",
               "BM_Get200M_EngineGetData/iterations:2/repeats:5/real_time", 0);
    PrintRatio(reporter, "200 MB GET + TakeData (bare: sized buffer)",
               "BM_Get200M_BareCurlSized/iterations:2/repeats:5/real_time",
               "BM_Get200M_Engine/iterations:2/repeats:5/real_time", 0);
    PrintRatio(reporter, "1000 x 1 KiB (floor: thread per request)",
               "BM_Seq1K_BareThreadPerRequest/iterations:1/repeats:5/real_time",
               "BM_Seq1K_Engine/iterations:1/repeats:5/real_time", 0.9);
    PrintRatio(reporter, "1000 x 1 KiB (bare loop on one thread)",
               "BM_Seq1K_BareOneThread/iterations:1/repeats:5/real_time",
               "BM_Seq1K_Engine/iterations:1/repeats:5/real_time", 0);
    PrintRatio(reporter, "50 MB POST", "BM_Post50M_BareCopyOnce/iterations:2/repeats:5/real_time",
               "BM_Post50M_Engine/iterations:2/repeats:5/real_time", 0.9);
    PrintPeak(reporter, "Peak memory, 200 MB GET + TakeData", "peak_take", 1.2);
    PrintPeak(reporter, "Peak memory, 200 MB GET + GetData", "peak_getdata", 0);
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
