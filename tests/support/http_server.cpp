#include "support/http_server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "support/net_util.h"

namespace kttest {

namespace {

using Clock = std::chrono::steady_clock;

// Marks which recorded request an upstream request belongs to.
const char kSeqHeader[] = "X-Kttest-Seq";
// Headers httplib would act on by itself (compressing replies, inflating or parsing bodies,
// serving ranges, framing); they reach it renamed, and every body reaches it with a plain
// Content-Length, so that every reply is exactly what the test scripted.
const char kHiddenPrefix[] = "X-Kttest-Hidden-";
const char* const kHiddenHeaders[] = {
    "Accept-Encoding", "Content-Encoding",  "Range", "If-Range", "Content-Type",
    "Content-Length",  "Transfer-Encoding", "Expect"};

// Longest request head accepted before the connection is dropped.
constexpr size_t kMaxHead = 1u << 20;

std::string HeaderName(const std::string& strLine) {
    size_t nColon = strLine.find(':');
    return nColon == std::string::npos ? std::string() : strLine.substr(0, nColon);
}

std::string HeaderValue(const std::string& strLine) {
    size_t nColon = strLine.find(':');
    if (nColon == std::string::npos) return std::string();
    size_t nStart = strLine.find_first_not_of(" \t", nColon + 1);
    if (nStart == std::string::npos) return std::string();
    size_t nEnd = strLine.find_last_not_of(" \t");
    return strLine.substr(nStart, nEnd - nStart + 1);
}

bool ContainsNoCase(const std::string& strHay, const std::string& strNeedle) {
    auto it = std::search(strHay.begin(), strHay.end(), strNeedle.begin(), strNeedle.end(),
                          [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    return it != strHay.end();
}

// Parses a single "bytes=a-b" / "bytes=a-" / "bytes=-n" against nTotal. Returns false when the
// header is to be ignored (syntax the server does not serve ranges for, several ranges);
// bSatisfiable tells a valid but unsatisfiable range apart.
bool ParseRange(const std::string& strValue, uint64_t nTotal, uint64_t& nFirst, uint64_t& nLast,
                bool& bSatisfiable) {
    const std::string strUnit = "bytes=";
    if (strValue.compare(0, strUnit.size(), strUnit) != 0) return false;
    std::string strSpec = strValue.substr(strUnit.size());
    if (strSpec.find(',') != std::string::npos) return false;
    size_t nDash = strSpec.find('-');
    if (nDash == std::string::npos) return false;
    std::string strA = strSpec.substr(0, nDash);
    std::string strB = strSpec.substr(nDash + 1);
    auto fnDigits = [](const std::string& s) {
        return !s.empty() && s.size() < 19 &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    bSatisfiable = true;
    if (strA.empty()) {
        if (!fnDigits(strB)) return false;
        uint64_t nSuffix = std::stoull(strB);
        if (nSuffix == 0 || nTotal == 0) {
            bSatisfiable = false;
            return true;
        }
        nFirst = nTotal - std::min(nSuffix, nTotal);
        nLast = nTotal - 1;
        return true;
    }
    if (!fnDigits(strA) || (!strB.empty() && !fnDigits(strB))) return false;
    nFirst = std::stoull(strA);
    nLast = strB.empty() ? (nTotal == 0 ? 0 : nTotal - 1) : std::stoull(strB);
    if (nLast < nFirst) return false;
    if (nFirst >= nTotal) {
        bSatisfiable = false;
        return true;
    }
    nLast = std::min(nLast, nTotal - 1);
    return true;
}

HTTP_REPLY ServeResource(const RECORDED_REQUEST& req, const HTTP_RESOURCE& res) {
    HTTP_REPLY reply;
    if (req.strMethod != "GET" && req.strMethod != "HEAD") {
        reply.nStatus = 405;
        reply.vecHeaders.emplace_back("Allow", "GET, HEAD");
        return reply;
    }
    if (!res.strContentType.empty())
        reply.vecHeaders.emplace_back("Content-Type", res.strContentType);
    if (!res.strLastModified.empty())
        reply.vecHeaders.emplace_back("Last-Modified", res.strLastModified);
    const uint64_t nTotal = res.strData.size();
    if (res.bRanges) {
        reply.vecHeaders.emplace_back("Accept-Ranges", "bytes");
        uint64_t nFirst = 0, nLast = 0;
        bool bSatisfiable = false;
        if (req.HeaderCount("Range") == 1 &&
            ParseRange(req.Header("Range"), nTotal, nFirst, nLast, bSatisfiable)) {
            if (!bSatisfiable) {
                reply.nStatus = 416;
                reply.vecHeaders.emplace_back("Content-Range", "bytes */" + std::to_string(nTotal));
                return reply;
            }
            reply.nStatus = 206;
            reply.vecHeaders.emplace_back("Content-Range", "bytes " + std::to_string(nFirst) + "-" +
                                                               std::to_string(nLast) + "/" +
                                                               std::to_string(nTotal));
            reply.strBody = res.strData.substr(nFirst, nLast - nFirst + 1);
            return reply;
        }
    }
    reply.nStatus = 200;
    reply.strBody = res.strData;
    return reply;
}

}  // namespace

std::string RECORDED_REQUEST::Header(const std::string& strName) const {
    for (const std::string& strLine : vecHeaderLines)
        if (net::EqualsNoCase(HeaderName(strLine), strName)) return HeaderValue(strLine);
    return std::string();
}

size_t RECORDED_REQUEST::HeaderCount(const std::string& strName) const {
    return static_cast<size_t>(std::count_if(
        vecHeaderLines.begin(), vecHeaderLines.end(),
        [&](const std::string& s) { return net::EqualsNoCase(HeaderName(s), strName); }));
}

std::vector<std::string> RECORDED_REQUEST::HeaderNames() const {
    std::vector<std::string> vecNames;
    for (const std::string& strLine : vecHeaderLines) vecNames.push_back(HeaderName(strLine));
    return vecNames;
}

std::string GzipBytes(const std::string& strData) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return std::string();
    std::string strOut(deflateBound(&zs, static_cast<uLong>(strData.size())) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strData.data()));
    zs.avail_in = static_cast<uInt>(strData.size());
    zs.next_out = reinterpret_cast<Bytef*>(strOut.data());
    zs.avail_out = static_cast<uInt>(strOut.size());
    int nRc = deflate(&zs, Z_FINISH);
    strOut.resize(zs.total_out);
    deflateEnd(&zs);
    return nRc == Z_STREAM_END ? strOut : std::string();
}

// httplib listens with a backlog of 5, and several clients connecting at once then wait a
// second for a SYN retransmit; this opens its socket to widen the queue.
class CInnerServer : public httplib::Server {
public:
    void WidenBacklog() { ::listen(svr_sock_, 128); }
};

// httplib hands each accepted connection to its task queue. A fixed pool would cap the number of
// held or delayed replies and cost idle threads per server; one thread per connection does
// neither. Finished threads are joined when the next task arrives and at shut-down.
class CThreadPerTask : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lk(m_mtx);
        Reap();
        auto pTask = std::make_shared<TASK>();
        pTask->th = std::thread([pTask, fn = std::move(fn)] {
            fn();
            pTask->bDone = true;
        });
        m_vecTasks.push_back(std::move(pTask));
    }
    void shutdown() override {
        std::vector<std::shared_ptr<TASK>> vecTasks;
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            vecTasks.swap(m_vecTasks);
        }
        for (auto& pTask : vecTasks) pTask->th.join();
    }

private:
    struct TASK {
        std::thread th;
        std::atomic<bool> bDone{false};
    };
    void Reap() {
        for (auto it = m_vecTasks.begin(); it != m_vecTasks.end();) {
            if ((*it)->bDone) {
                (*it)->th.join();
                it = m_vecTasks.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::mutex m_mtx;
    std::vector<std::shared_ptr<TASK>> m_vecTasks;
};

// One client connection: the client's socket and the matching one to httplib.
struct RELAY_CONNECTION {
    int nClientFd = -1;
    int nUpstreamFd = -1;
    std::thread thRelay;
    std::atomic<bool> bDone{false};
};

struct CHttpServer::IMPL {
    // Everything below m_mtx is guarded by it.
    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    bool m_bStopping = false;
    bool m_bRunning = false;
    bool m_bHold = false;
    std::vector<RECORDED_REQUEST> m_vecRequests;
    std::map<uint64_t, RECORDED_REQUEST> m_mapBySeq;  // waiting for their upstream handler
    uint64_t m_nNextSeq = 0;
    size_t m_nConnections = 0;
    std::map<std::string, HTTP_REPLY> m_mapReplies;
    std::map<std::string, HTTP_RESOURCE> m_mapResources;
    HTTP_REPLY m_defaultReply;
    HttpHandler m_fnHandler;

    std::atomic<size_t> m_nThrottle{0};
    std::mutex m_mtxStop;

    CInnerServer m_server;
    std::thread m_thServer;
    int m_nInnerPort = 0;

    int m_nListenFd = -1;
    int m_nPort = 0;
    std::thread m_thAccept;
    std::mutex m_mtxConns;
    std::vector<std::shared_ptr<RELAY_CONNECTION>> m_vecConns;

    bool Start();
    void Stop();
    void AcceptLoop();
    void RelayLoop(const std::shared_ptr<RELAY_CONNECTION>& pConn);
    bool ThrottledSend(int nFd, const char* pData, size_t nSize);
    void Answer(const httplib::Request& req, httplib::Response& res);

    uint64_t OnHead() {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_nNextSeq++;
    }
    void OnComplete(uint64_t nSeq, const RECORDED_REQUEST& req) {
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            m_vecRequests.push_back(req);
            m_mapBySeq[nSeq] = req;
        }
        // Waiters re-check under the lock; notifying after release spares them a wake-up into
        // a held mutex.
        m_cv.notify_all();
    }
};

namespace {

// Follows the client's byte stream request by request: records each head and body and produces
// the bytes to hand to httplib (the head rewritten, the body unchanged).
// One complete request in the plain form httplib gets.
struct UPSTREAM_REQUEST {
    std::string strBytes;
    bool bHead = false;  // the reply has a head only
};

class CRequestScanner {
public:
    explicit CRequestScanner(CHttpServer::IMPL& impl) : m_impl(impl) {}

    // Consumes nSize bytes, queueing each complete request for httplib in queOut and appending
    // what goes straight back to the client to strBack; false on a malformed stream.
    bool Feed(const char* pData, size_t nSize, std::deque<UPSTREAM_REQUEST>& queOut,
              std::string& strBack) {
        m_strIn.append(pData, nSize);
        for (;;) {
            switch (m_eState) {
                case EState::kHead:
                    if (!StepHead(queOut, strBack)) return m_bOk;
                    break;
                case EState::kBody:
                case EState::kChunkData: {
                    if (m_strIn.empty()) return true;
                    size_t nTake = static_cast<size_t>(
                        std::min<uint64_t>(m_nRemain, static_cast<uint64_t>(m_strIn.size())));
                    m_req.strBody.append(m_strIn, 0, nTake);
                    m_strIn.erase(0, nTake);
                    m_nRemain -= nTake;
                    if (m_nRemain == 0) {
                        if (m_eState == EState::kBody)
                            Complete(queOut);
                        else
                            m_eState = EState::kChunkDataEnd;
                    }
                    break;
                }
                case EState::kChunkDataEnd:
                    if (m_strIn.size() < 2) return true;
                    if (m_strIn.compare(0, 2, "\r\n") != 0) return false;
                    m_strIn.erase(0, 2);
                    m_eState = EState::kChunkSize;
                    break;
                case EState::kChunkSize: {
                    size_t nEol = m_strIn.find("\r\n");
                    if (nEol == std::string::npos) return m_strIn.size() < 1024;
                    std::string strLine = m_strIn.substr(0, nEol);
                    m_strIn.erase(0, nEol + 2);
                    std::string strHex = strLine.substr(0, strLine.find(';'));
                    char* pEnd = nullptr;
                    unsigned long long nChunk = std::strtoull(strHex.c_str(), &pEnd, 16);
                    if (strHex.empty() || pEnd == strHex.c_str()) return false;
                    if (nChunk == 0) {
                        m_eState = EState::kTrailer;
                    } else {
                        m_nRemain = nChunk;
                        m_eState = EState::kChunkData;
                    }
                    break;
                }
                case EState::kTrailer: {
                    size_t nEol = m_strIn.find("\r\n");
                    if (nEol == std::string::npos) return m_strIn.size() < kMaxHead;
                    m_strIn.erase(0, nEol + 2);
                    if (nEol == 0) Complete(queOut);
                    break;
                }
            }
        }
    }

private:
    enum class EState { kHead, kBody, kChunkSize, kChunkData, kChunkDataEnd, kTrailer };

    // Returns true when a head was consumed (the loop goes on), false when more bytes are needed
    // or the head is bad (m_bOk false).
    bool StepHead(std::deque<UPSTREAM_REQUEST>& queOut, std::string& strBack) {
        // Empty lines before a request line are allowed and ignored.
        size_t nSkip = 0;
        while (m_strIn.compare(nSkip, 2, "\r\n") == 0) nSkip += 2;
        if (nSkip) m_strIn.erase(0, nSkip);
        size_t nEnd = m_strIn.find("\r\n\r\n");
        if (nEnd == std::string::npos) {
            m_bOk = m_strIn.size() < kMaxHead;
            return false;
        }
        std::string strHead = m_strIn.substr(0, nEnd);
        m_strIn.erase(0, nEnd + 4);

        m_req = RECORDED_REQUEST();
        size_t nPos = 0;
        std::vector<std::string> vecLines;
        while (nPos <= strHead.size()) {
            size_t nEol = strHead.find("\r\n", nPos);
            if (nEol == std::string::npos) nEol = strHead.size();
            vecLines.push_back(strHead.substr(nPos, nEol - nPos));
            nPos = nEol + 2;
        }
        const std::string& strRequestLine = vecLines[0];
        size_t nSp1 = strRequestLine.find(' ');
        size_t nSp2 = nSp1 == std::string::npos ? nSp1 : strRequestLine.find(' ', nSp1 + 1);
        if (nSp2 == std::string::npos) {
            m_bOk = false;
            return false;
        }
        m_req.strMethod = strRequestLine.substr(0, nSp1);
        m_req.strTarget = strRequestLine.substr(nSp1 + 1, nSp2 - nSp1 - 1);
        m_req.strVersion = strRequestLine.substr(nSp2 + 1);
        size_t nQuery = m_req.strTarget.find('?');
        m_req.strPath = m_req.strTarget.substr(0, nQuery);
        if (nQuery != std::string::npos) m_req.strQuery = m_req.strTarget.substr(nQuery + 1);
        m_req.vecHeaderLines.assign(vecLines.begin() + 1, vecLines.end());

        m_nSeq = m_impl.OnHead();
        m_strUpHead = strRequestLine + "\r\n";
        for (const std::string& strLine : m_req.vecHeaderLines) {
            const std::string strName = HeaderName(strLine);
            bool bHide = std::any_of(std::begin(kHiddenHeaders), std::end(kHiddenHeaders),
                                     [&](const char* p) { return net::EqualsNoCase(strName, p); });
            if (bHide) m_strUpHead += kHiddenPrefix;
            m_strUpHead += strLine + "\r\n";
        }
        // httplib never sees the Expect header, so the interim answer comes from here.
        if (ContainsNoCase(m_req.Header("Expect"), "100-continue") &&
            m_req.strVersion == "HTTP/1.1")
            strBack += "HTTP/1.1 100 Continue\r\n\r\n";

        if (ContainsNoCase(m_req.Header("Transfer-Encoding"), "chunked")) {
            m_req.bChunked = true;
            m_eState = EState::kChunkSize;
        } else {
            const std::string strLength = m_req.Header("Content-Length");
            m_nRemain = strLength.empty() ? 0 : std::strtoull(strLength.c_str(), nullptr, 10);
            if (m_nRemain > 0)
                m_eState = EState::kBody;
            else
                Complete(queOut);
        }
        return true;
    }

    // Records the request, then hands httplib the whole of it in one plain form.
    void Complete(std::deque<UPSTREAM_REQUEST>& queOut) {
        m_impl.OnComplete(m_nSeq, m_req);
        std::string strOut = m_strUpHead;
        // Always present: httplib would read a bodiless POST without one up to the EOF.
        strOut += "Content-Length: " + std::to_string(m_req.strBody.size()) + "\r\n";
        strOut += std::string(kSeqHeader) + ": " + std::to_string(m_nSeq) + "\r\n\r\n";
        strOut += m_req.strBody;
        queOut.push_back({std::move(strOut), m_req.strMethod == "HEAD"});
        m_strUpHead.clear();
        m_eState = EState::kHead;
    }

    CHttpServer::IMPL& m_impl;
    EState m_eState = EState::kHead;
    std::string m_strIn;
    RECORDED_REQUEST m_req;
    std::string m_strUpHead;
    uint64_t m_nSeq = 0;
    uint64_t m_nRemain = 0;
    bool m_bOk = true;
};

}  // namespace

bool CHttpServer::IMPL::Start() {
    m_server.new_task_queue = [] { return new CThreadPerTask; };
    m_server.set_keep_alive_max_count(100000);
    m_server.set_keep_alive_timeout(5);
    auto fnAnswer = [this](const httplib::Request& req, httplib::Response& res) {
        Answer(req, res);
    };
    m_server.Get(".*", fnAnswer);
    m_server.Post(".*", fnAnswer);
    m_server.Put(".*", fnAnswer);
    m_server.Patch(".*", fnAnswer);
    m_server.Delete(".*", fnAnswer);
    m_server.Options(".*", fnAnswer);
    m_nInnerPort = m_server.bind_to_any_port("127.0.0.1");
    if (m_nInnerPort <= 0) return false;
    m_server.WidenBacklog();
    m_thServer = std::thread([this] { m_server.listen_after_bind(); });
    // stop() before the listen loop is running would be lost and leave the thread behind.
    const auto tDeadline = Clock::now() + std::chrono::seconds(10);
    while (!m_server.is_running() && Clock::now() < tDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!m_server.is_running()) return false;

    m_nListenFd = net::ListenLoopback(m_nPort);
    if (m_nListenFd < 0) return false;
    m_thAccept = std::thread([this] { AcceptLoop(); });
    std::lock_guard<std::mutex> lk(m_mtx);
    m_bRunning = true;
    return true;
}

void CHttpServer::IMPL::Stop() {
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_bStopping = true;
        m_bRunning = false;
    }
    if (m_nListenFd >= 0) ::shutdown(m_nListenFd, SHUT_RDWR);
    if (m_thAccept.joinable()) m_thAccept.join();
    if (m_nListenFd >= 0) ::close(m_nListenFd);
    m_nListenFd = -1;

    std::vector<std::shared_ptr<RELAY_CONNECTION>> vecConns;
    {
        std::lock_guard<std::mutex> lk(m_mtxConns);
        for (auto& pConn : m_vecConns) {
            if (pConn->nClientFd >= 0) ::shutdown(pConn->nClientFd, SHUT_RDWR);
            if (pConn->nUpstreamFd >= 0) ::shutdown(pConn->nUpstreamFd, SHUT_RDWR);
        }
        vecConns.swap(m_vecConns);
    }
    for (auto& pConn : vecConns)
        if (pConn->thRelay.joinable()) pConn->thRelay.join();
    // Held and delayed answers are woken only now that no client can receive them any more.
    m_cv.notify_all();

    if (m_thServer.joinable()) {
        m_server.stop();
        m_thServer.join();
    }
}

void CHttpServer::IMPL::AcceptLoop() {
    for (;;) {
        int nFd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (nFd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            if (m_bStopping) {
                ::close(nFd);
                return;
            }
            ++m_nConnections;
        }
        int nUp = net::ConnectLoopback(m_nInnerPort);
        if (nUp < 0) {
            ::close(nFd);
            continue;
        }
        net::SetNoDelay(nFd);
        net::SetNoDelay(nUp);
        auto pConn = std::make_shared<RELAY_CONNECTION>();
        pConn->nClientFd = nFd;
        pConn->nUpstreamFd = nUp;
        std::lock_guard<std::mutex> lk(m_mtxConns);
        // Reap finished relays so that long tests do not pile up threads.
        for (auto it = m_vecConns.begin(); it != m_vecConns.end();) {
            if ((*it)->bDone) {
                (*it)->thRelay.join();
                it = m_vecConns.erase(it);
            } else {
                ++it;
            }
        }
        pConn->thRelay = std::thread([this, pConn] { RelayLoop(pConn); });
        m_vecConns.push_back(pConn);
    }
}

bool CHttpServer::IMPL::ThrottledSend(int nFd, const char* pData, size_t nSize) {
    {
        // Answers released by Stop itself must not reach the client.
        std::lock_guard<std::mutex> lk(m_mtx);
        if (m_bStopping) return false;
    }
    const size_t nRate = m_nThrottle.load();
    if (nRate == 0) return net::SendAll(nFd, pData, nSize);
    const size_t nSlice = std::max<size_t>(1, nRate / 20);
    const auto tStart = Clock::now();
    size_t nSent = 0;
    while (nSent < nSize) {
        size_t nTake = std::min(nSlice, nSize - nSent);
        if (!net::SendAll(nFd, pData + nSent, nTake)) return false;
        nSent += nTake;
        const auto tDue =
            tStart + std::chrono::microseconds(static_cast<int64_t>(
                         static_cast<double>(nSent) * 1e6 / static_cast<double>(nRate)));
        std::unique_lock<std::mutex> lk(m_mtx);
        if (m_cv.wait_until(lk, tDue, [this] { return m_bStopping; })) return false;
    }
    return true;
}

void CHttpServer::IMPL::RelayLoop(const std::shared_ptr<RELAY_CONNECTION>& pConn) {
    // httplib drops pipelined requests, so they go to it one at a time: the next request is sent
    // when the reply to the previous one has passed through completely.
    CRequestScanner scanner(*this);
    const int nClient = pConn->nClientFd;
    const int nUp = pConn->nUpstreamFd;
    pollfd fds[2] = {{nClient, POLLIN, 0}, {nUp, POLLIN, 0}};
    char buf[16384];
    std::deque<UPSTREAM_REQUEST> queWaiting;
    std::string strBack;
    bool bLive = true;
    bool bClientDone = false;
    bool bAwaiting = false;  // a request is with httplib and its reply is not through yet
    std::string strReplyHead;
    bool bReplyToHead = false;
    bool bInReplyHead = true;
    uint64_t nReplyLeft = 0;
    while (bLive) {
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            if (m_bStopping) break;
        }
        if (!bAwaiting && !queWaiting.empty()) {
            const UPSTREAM_REQUEST& next = queWaiting.front();
            if (!net::SendAll(nUp, next.strBytes.data(), next.strBytes.size())) break;
            bReplyToHead = next.bHead;
            queWaiting.pop_front();
            bAwaiting = true;
            bInReplyHead = true;
            strReplyHead.clear();
        }
        if (bClientDone && !bAwaiting && queWaiting.empty()) break;
        int nReady = ::poll(fds, 2, 200);
        if (nReady < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].fd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::recv(nClient, buf, sizeof buf, 0);
            if (n <= 0) {
                bClientDone = true;
                fds[0].fd = -1;
            } else {
                strBack.clear();
                bool bOk = scanner.Feed(buf, static_cast<size_t>(n), queWaiting, strBack);
                if (!net::SendAll(nClient, strBack.data(), strBack.size()) || !bOk) bLive = false;
            }
        }
        if (bLive && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::recv(nUp, buf, sizeof buf, 0);
            if (n <= 0) break;
            const size_t nGot = static_cast<size_t>(n);
            if (!ThrottledSend(nClient, buf, nGot)) break;
            // Follow the reply's framing: httplib always sends Content-Length and never chunks.
            size_t nPos = 0;
            while (bAwaiting && nPos < nGot) {
                if (bInReplyHead) {
                    strReplyHead += buf[nPos++];
                    if (strReplyHead.size() >= 4 &&
                        strReplyHead.compare(strReplyHead.size() - 4, 4, "\r\n\r\n") == 0) {
                        RECORDED_REQUEST head;
                        size_t nFirstEol = strReplyHead.find("\r\n");
                        size_t nLinePos = nFirstEol + 2;
                        while (nLinePos < strReplyHead.size() - 2) {
                            size_t nEol = strReplyHead.find("\r\n", nLinePos);
                            head.vecHeaderLines.push_back(
                                strReplyHead.substr(nLinePos, nEol - nLinePos));
                            nLinePos = nEol + 2;
                        }
                        const std::string strLength = head.Header("Content-Length");
                        nReplyLeft = bReplyToHead || strLength.empty()
                                         ? 0
                                         : std::strtoull(strLength.c_str(), nullptr, 10);
                        bInReplyHead = false;
                        if (nReplyLeft == 0) bAwaiting = false;
                    }
                } else {
                    uint64_t nTake = std::min<uint64_t>(nReplyLeft, nGot - nPos);
                    nPos += static_cast<size_t>(nTake);
                    nReplyLeft -= nTake;
                    if (nReplyLeft == 0) bAwaiting = false;
                }
            }
        }
    }
    std::lock_guard<std::mutex> lk(m_mtxConns);
    ::close(pConn->nClientFd);
    ::close(pConn->nUpstreamFd);
    pConn->nClientFd = -1;
    pConn->nUpstreamFd = -1;
    pConn->bDone = true;
}

void CHttpServer::IMPL::Answer(const httplib::Request& httpReq, httplib::Response& res) {
    RECORDED_REQUEST req;
    HTTP_REPLY reply;
    {
        std::unique_lock<std::mutex> lk(m_mtx);
        const std::string strSeq = httpReq.get_header_value(kSeqHeader);
        auto it = strSeq.empty() ? m_mapBySeq.end() : m_mapBySeq.find(std::stoull(strSeq));
        if (it == m_mapBySeq.end()) {
            res.status = 500;
            return;
        }
        req = std::move(it->second);
        m_mapBySeq.erase(it);
        HttpHandler fnHandler = m_fnHandler;
        auto itRes = m_mapResources.find(req.strPath);
        auto itReply = m_mapReplies.find(req.strPath);
        if (fnHandler) {
            lk.unlock();
            reply = fnHandler(req);
            lk.lock();
        } else if (itRes != m_mapResources.end()) {
            reply = ServeResource(req, itRes->second);
        } else if (itReply != m_mapReplies.end()) {
            reply = itReply->second;
        } else {
            reply = m_defaultReply;
        }
        m_cv.wait(lk, [this] { return !m_bHold || m_bStopping; });
        if (reply.nDelayMs > 0)
            m_cv.wait_for(lk, std::chrono::milliseconds(reply.nDelayMs),
                          [this] { return m_bStopping; });
    }
    res.status = reply.nStatus;
    for (const auto& [strName, strValue] : reply.vecHeaders) res.set_header(strName, strValue);
    if (reply.bGzip) {
        res.set_header("Content-Encoding", "gzip");
        res.body = GzipBytes(reply.strBody);
    } else {
        res.body = std::move(reply.strBody);
    }
}

CHttpServer::CHttpServer() : m_pImpl(std::make_unique<IMPL>()) {
    if (!m_pImpl->Start()) m_pImpl->Stop();
}

CHttpServer::~CHttpServer() {
    Stop();
}

bool CHttpServer::IsRunning() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_bRunning;
}

int CHttpServer::Port() const {
    return m_pImpl->m_nPort;
}

std::string CHttpServer::Url(const std::string& strPath) const {
    return "http://127.0.0.1:" + std::to_string(m_pImpl->m_nPort) + strPath;
}

void CHttpServer::Stop() {
    // Only the first call does the work; later ones find nothing left to join.
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtxStop);
    m_pImpl->Stop();
}

void CHttpServer::SetReply(const std::string& strPath, HTTP_REPLY reply) {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_mapReplies[strPath] = std::move(reply);
}

void CHttpServer::SetDefaultReply(HTTP_REPLY reply) {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_defaultReply = std::move(reply);
}

void CHttpServer::SetReply(int nStatus, std::string strBody) {
    HTTP_REPLY reply;
    reply.nStatus = nStatus;
    reply.strBody = std::move(strBody);
    SetDefaultReply(std::move(reply));
}

void CHttpServer::SetHandler(HttpHandler fnHandler) {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_fnHandler = std::move(fnHandler);
}

void CHttpServer::SetResource(const std::string& strPath, HTTP_RESOURCE resource) {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_mapResources[strPath] = std::move(resource);
}

void CHttpServer::SetThrottle(size_t nBytesPerSecond) {
    m_pImpl->m_nThrottle = nBytesPerSecond;
}

void CHttpServer::HoldReplies(bool bHold) {
    {
        std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
        m_pImpl->m_bHold = bHold;
    }
    // Held answers re-check the flag under the lock.
    m_pImpl->m_cv.notify_all();
}

size_t CHttpServer::RequestCount() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_vecRequests.size();
}

RECORDED_REQUEST CHttpServer::Request(size_t nIndex) const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    if (nIndex >= m_pImpl->m_vecRequests.size()) return RECORDED_REQUEST();
    return m_pImpl->m_vecRequests[nIndex];
}

std::vector<RECORDED_REQUEST> CHttpServer::Requests() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_vecRequests;
}

bool CHttpServer::WaitForRequests(size_t nCount, int nTimeoutMs) const {
    std::unique_lock<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_cv.wait_for(lk, std::chrono::milliseconds(nTimeoutMs),
                                  [&] { return m_pImpl->m_vecRequests.size() >= nCount; });
}

size_t CHttpServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_nConnections;
}

void CHttpServer::ClearRequests() {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_vecRequests.clear();
}

}  // namespace kttest
