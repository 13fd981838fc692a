#include "eventserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace ktfeedback {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kListenKey = 0;
constexpr uint64_t kWakeKey = 1;
// What one readiness event may read before the other connections get their turn.
constexpr size_t kReadPerEvent = 256 * 1024;
// A chunk-size line with its extensions.
constexpr size_t kMaxChunkLine = 1024;
// After a refusal the rest of the request is read and dropped for a while, so that closing does
// not reset the connection before the client has read the answer; never for long, never much.
constexpr size_t kLingerBytes = 1u << 20;
constexpr std::chrono::milliseconds kLingerTime{2000};

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string LowerCopy(std::string_view str) {
    std::string out(str);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view str) {
    while (!str.empty() && (str.front() == ' ' || str.front() == '\t')) str.remove_prefix(1);
    while (!str.empty() && (str.back() == ' ' || str.back() == '\t')) str.remove_suffix(1);
    return str;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view str) {
    std::string out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '%' && i + 2 < str.size() && HexValue(str[i + 1]) >= 0 &&
            HexValue(str[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(str[i + 1]) * 16 + HexValue(str[i + 2]));
            i += 2;
        } else {
            out += str[i];
        }
    }
    return out;
}

// Comma-separated list items of every header of one name, lower-cased and trimmed.
std::vector<std::string> ListItems(const std::vector<std::string>& vecValues) {
    std::vector<std::string> vecItems;
    for (const std::string& strValue : vecValues) {
        std::string_view str = strValue;
        while (true) {
            const size_t nComma = str.find(',');
            const std::string_view strItem = Trim(str.substr(0, nComma));
            if (!strItem.empty()) vecItems.push_back(LowerCopy(strItem));
            if (nComma == std::string_view::npos) break;
            str.remove_prefix(nComma + 1);
        }
    }
    return vecItems;
}

bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

enum class State {
    Idle,          // between requests: no byte of the next one yet
    Head,          // request line and headers
    Body,          // Content-Length body
    ChunkSize,     // a chunk-size line
    ChunkData,     // the bytes of a chunk
    ChunkDataEnd,  // the CR LF behind them
    Trailer,       // trailer lines up to the empty one
    Handling,      // with a worker
    Writing,       // the answer goes out
    Lingering,     // refused: dropping what still comes, then closing
};

bool IsReading(State state) {
    return state != State::Handling && state != State::Writing;
}

struct CONN {
    int nFd = -1;
    uint64_t nKey = 0;
    std::string strRemote;
    State state = State::Idle;
    std::string strIn;  // received bytes; those before nInPos are parsed
    size_t nInPos = 0;
    HTTP_REQUEST req;
    HTTP_RESPONSE res;
    size_t nContentLength = 0;
    size_t nChunkLeft = 0;
    size_t nTrailerBytes = 0;
    size_t nBodyIn = 0;
    bool bKeepAlive = true;
    bool bFinalQueued = false;  // strOut ends with the answer (not only a 100 Continue)
    bool bLingerAfter = false;
    std::string strOut;
    size_t nOutPos = 0;
    size_t nLingerLeft = 0;
    Clock::time_point tConnDeadline;
    Clock::time_point tReqDeadline;
    bool bReqDeadline = false;
    uint32_t nInterest = 0;

    std::string_view Pending() const { return std::string_view(strIn).substr(nInPos); }
    void Consume(size_t n) {
        nInPos += n;
        if (nInPos == strIn.size()) {
            strIn.clear();
            nInPos = 0;
        } else if (nInPos > 65536 && nInPos > strIn.size() / 2) {
            strIn.erase(0, nInPos);
            nInPos = 0;
        }
    }
};

struct JOB {
    uint64_t nKey;
    HTTP_REQUEST req;
    HTTP_RESPONSE res;
};

}  // namespace

std::string HTTP_REQUEST::Header(std::string_view strName) const {
    for (const auto& [strKey, strValue] : vecHeaders) {
        if (EqualNoCase(strKey, strName)) return strValue;
    }
    return {};
}

std::vector<std::string> HTTP_REQUEST::Headers(std::string_view strName) const {
    std::vector<std::string> vec;
    for (const auto& [strKey, strValue] : vecHeaders) {
        if (EqualNoCase(strKey, strName)) vec.push_back(strValue);
    }
    return vec;
}

const char* StatusText(int nStatus) {
    switch (nStatus) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 417:
            return "Expectation Failed";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

struct CEventServer::CImpl {
    CImpl(CEventServer& owner, EVENT_SERVER_OPTIONS options, Handler handler,
          RefusalHandler refusal, Logger logger)
        : m_owner(owner),
          m_options(options),
          m_handler(std::move(handler)),
          m_refusal(std::move(refusal)),
          m_logger(std::move(logger)) {
        m_nEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_nWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_nEpoll >= 0 && m_nWake >= 0) Watch(m_nWake, kWakeKey, EPOLLIN, EPOLL_CTL_ADD);
    }
    ~CImpl() {
        for (auto& [nKey, pConn] : m_mapConns) ::close(pConn->nFd);
        if (m_nListen >= 0) ::close(m_nListen);
        if (m_nWake >= 0) ::close(m_nWake);
        if (m_nEpoll >= 0) ::close(m_nEpoll);
    }

    void Watch(int nFd, uint64_t nKey, uint32_t nEvents, int nOp) {
        epoll_event ev{};
        ev.events = nEvents;
        ev.data.u64 = nKey;
        ::epoll_ctl(m_nEpoll, nOp, nFd, &ev);
    }
    void Wake() {
        const uint64_t nOne = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_nWake, &nOne, sizeof(nOne));
    }

    int Bind(const std::string& strHost, int nPort, std::string& strError) {
        if (m_nEpoll < 0 || m_nWake < 0) {
            strError = std::string("cannot create the event queue: ") + std::strerror(errno);
            return -1;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* pList = nullptr;
        const std::string strPort = std::to_string(nPort);
        if (::getaddrinfo(strHost.empty() ? nullptr : strHost.c_str(), strPort.c_str(), &hints,
                          &pList) != 0) {
            strError = "cannot resolve " + strHost;
            return -1;
        }
        for (addrinfo* p = pList; p && m_nListen < 0; p = p->ai_next) {
            const int nFd =
                ::socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (nFd < 0) continue;
            int nYes = 1;
            ::setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
            // A burst of reports (fifty clients posting at once) must not overflow the backlog.
            if (::bind(nFd, p->ai_addr, p->ai_addrlen) == 0 && ::listen(nFd, 1024) == 0) {
                m_nListen = nFd;
            } else {
                ::close(nFd);
            }
        }
        ::freeaddrinfo(pList);
        if (m_nListen < 0) {
            strError = "cannot listen on " + strHost + ":" + strPort;
            return -1;
        }
        sockaddr_storage addr{};
        socklen_t nLen = sizeof(addr);
        ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &nLen);
        const int nBound = addr.ss_family == AF_INET6
                               ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        Watch(m_nListen, kListenKey, EPOLLIN, EPOLL_CTL_ADD);
        return nBound;
    }

    bool Serve() {
        if (m_nListen < 0) return false;
        for (int i = 0; i < std::max(1, m_options.nWorkers); ++i) {
            m_vecWorkers.emplace_back([this] { WorkerLoop(); });
        }
        bool bOk = true;
        epoll_event events[256];
        while (!m_bStop.load()) {
            const int nReady = ::epoll_wait(m_nEpoll, events, 256, NextTimeoutMs());
            if (nReady < 0 && errno != EINTR) {
                bOk = false;
                break;
            }
            for (int i = 0; i < nReady; ++i) {
                const uint64_t nKey = events[i].data.u64;
                if (nKey == kListenKey) {
                    AcceptAll();
                } else if (nKey == kWakeKey) {
                    uint64_t nCount = 0;
                    [[maybe_unused]] const ssize_t n = ::read(m_nWake, &nCount, sizeof(nCount));
                    TakeAnswers();
                } else {
                    const auto it = m_mapConns.find(nKey);
                    if (it != m_mapConns.end()) OnEvent(*it->second, events[i].events);
                }
            }
            ExpireDeadlines();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutexJobs);
            m_bWorkersStop = true;
        }
        m_cvJobs.notify_all();
        for (std::thread& t : m_vecWorkers) t.join();
        m_vecWorkers.clear();
        while (!m_mapConns.empty()) Close(*m_mapConns.begin()->second);
        return bOk;
    }

    void Stop() {
        m_bStop.store(true);
        Wake();
    }

    // ---- connections ----

    void AcceptAll() {
        while (true) {
            sockaddr_storage addr{};
            socklen_t nLen = sizeof(addr);
            const int nFd = ::accept4(m_nListen, reinterpret_cast<sockaddr*>(&addr), &nLen,
                                      SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (nFd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors: stop listening until a connection closes, rather than
                    // waking up for the same waiting connection again and again.
                    PauseListening(true);
                }
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            if (m_mapConns.size() >= m_options.nMaxConnections) {
                ::close(nFd);
                continue;
            }
            int nYes = 1;
            ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nYes, sizeof(nYes));
            auto pConn = std::make_unique<CONN>();
            pConn->nFd = nFd;
            pConn->nKey = m_nNextKey++;
            pConn->strRemote = AddressText(addr);
            pConn->tConnDeadline = Clock::now() + m_options.connectionTimeout;
            pConn->nInterest = EPOLLIN;
            Watch(nFd, pConn->nKey, EPOLLIN, EPOLL_CTL_ADD);
            m_mapConns.emplace(pConn->nKey, std::move(pConn));
            m_owner.m_nOpen.store(m_mapConns.size());
        }
    }

    static std::string AddressText(const sockaddr_storage& addr) {
        char sz[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET) {
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, sz,
                        sizeof(sz));
        } else if (addr.ss_family == AF_INET6) {
            ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, sz,
                        sizeof(sz));
        }
        return sz;
    }

    void PauseListening(bool bPause) {
        if (bPause == m_bListenPaused) return;
        m_bListenPaused = bPause;
        Watch(m_nListen, kListenKey, bPause ? 0u : static_cast<uint32_t>(EPOLLIN), EPOLL_CTL_MOD);
    }

    void Close(CONN& conn) {
        const uint64_t nKey = conn.nKey;
        ::epoll_ctl(m_nEpoll, EPOLL_CTL_DEL, conn.nFd, nullptr);
        ::close(conn.nFd);
        m_mapConns.erase(nKey);  // conn is gone from here on
        m_owner.m_nOpen.store(m_mapConns.size());
        PauseListening(false);
    }

    void UpdateInterest(CONN& conn) {
        const uint32_t nWant =
            (IsReading(conn.state) ? static_cast<uint32_t>(EPOLLIN) : 0u) |
            (conn.nOutPos < conn.strOut.size() ? static_cast<uint32_t>(EPOLLOUT) : 0u);
        if (nWant != conn.nInterest) {
            conn.nInterest = nWant;
            Watch(conn.nFd, conn.nKey, nWant, EPOLL_CTL_MOD);
        }
    }

    void OnEvent(CONN& conn, uint32_t nEvents) {
        // A peer that has hung up entirely while its request is with a worker or its answer goes
        // out reads nothing more.
        if ((nEvents & EPOLLERR) || ((nEvents & EPOLLHUP) && !IsReading(conn.state))) {
            Close(conn);
            return;
        }
        if ((nEvents & EPOLLOUT) && !Write(conn)) return;
        if ((nEvents & (EPOLLIN | EPOLLHUP)) && IsReading(conn.state)) Read(conn);
    }

    // False when the connection was closed.
    bool Read(CONN& conn) {
        char buf[16384];
        size_t nTotal = 0;
        while (IsReading(conn.state) && nTotal < kReadPerEvent) {
            const ssize_t n = ::recv(conn.nFd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n <= 0) {
                // The peer is gone or has stopped sending: a request it did not finish is not
                // answered, and after a refusal there is nothing more to wait for.
                Close(conn);
                return false;
            }
            nTotal += static_cast<size_t>(n);
            if (conn.state == State::Lingering) {
                if (static_cast<size_t>(n) >= conn.nLingerLeft) {
                    Close(conn);
                    return false;
                }
                conn.nLingerLeft -= static_cast<size_t>(n);
                continue;
            }
            conn.strIn.append(buf, static_cast<size_t>(n));
            if (!Process(conn)) return false;
        }
        return true;
    }

    // Advances the request as far as the received bytes allow. False when the connection closed.
    bool Process(CONN& conn) {
        while (true) {
            const std::string_view strIn = conn.Pending();
            switch (conn.state) {
                case State::Idle: {
                    // Blank lines between requests are allowed.
                    size_t nSkip = 0;
                    while (nSkip < strIn.size() && (strIn[nSkip] == '\r' || strIn[nSkip] == '\n'))
                        ++nSkip;
                    conn.Consume(nSkip);
                    if (conn.Pending().empty()) return true;
                    conn.state = State::Head;
                    conn.tReqDeadline = Clock::now() + m_options.requestTimeout;
                    conn.bReqDeadline = true;
                    break;
                }
                case State::Head: {
                    const size_t nEnd = strIn.find("\r\n\r\n");
                    if (nEnd == std::string_view::npos) {
                        if (strIn.size() > m_options.nMaxHeaderBytes) return Refuse(conn, 431);
                        return true;
                    }
                    if (nEnd + 4 > m_options.nMaxHeaderBytes) return Refuse(conn, 431);
                    const int nStatus = ParseHead(conn, strIn.substr(0, nEnd + 2));
                    conn.Consume(nEnd + 4);
                    if (nStatus != 0) return Refuse(conn, nStatus);
                    if (conn.state == State::Head) return Dispatch(conn);    // no body
                    if (!conn.strOut.empty() && !Write(conn)) return false;  // 100 Continue
                    break;
                }
                case State::Body: {
                    const size_t nTake =
                        std::min(conn.nContentLength - conn.req.strBody.size(), strIn.size());
                    conn.req.strBody.append(strIn.substr(0, nTake));
                    conn.nBodyIn += nTake;
                    conn.Consume(nTake);
                    if (conn.req.strBody.size() == conn.nContentLength) return Dispatch(conn);
                    return true;
                }
                case State::ChunkSize: {
                    const size_t nEol = strIn.find("\r\n");
                    if (nEol == std::string_view::npos) {
                        if (strIn.size() > kMaxChunkLine) return Refuse(conn, 400);
                        return true;
                    }
                    if (nEol > kMaxChunkLine) return Refuse(conn, 400);
                    size_t nSize = 0;
                    size_t nDigits = 0;
                    for (; nDigits < nEol && HexValue(strIn[nDigits]) >= 0; ++nDigits) {
                        // Anything that could pass the limit is refused before it overflows.
                        if (nSize > m_options.nMaxBody) break;
                        nSize = nSize * 16 + static_cast<size_t>(HexValue(strIn[nDigits]));
                    }
                    if (nDigits == 0) return Refuse(conn, 400);
                    if (nSize > m_options.nMaxBody - conn.req.strBody.size()) {
                        return Refuse(conn, 413);
                    }
                    conn.Consume(nEol + 2);
                    conn.nChunkLeft = nSize;
                    conn.state = nSize == 0 ? State::Trailer : State::ChunkData;
                    break;
                }
                case State::ChunkData: {
                    const size_t nTake = std::min(conn.nChunkLeft, strIn.size());
                    conn.req.strBody.append(strIn.substr(0, nTake));
                    conn.nBodyIn += nTake;
                    conn.nChunkLeft -= nTake;
                    conn.Consume(nTake);
                    if (conn.nChunkLeft > 0) return true;
                    conn.state = State::ChunkDataEnd;
                    break;
                }
                case State::ChunkDataEnd:
                    if (strIn.size() < 2) return true;
                    if (strIn.substr(0, 2) != "\r\n") return Refuse(conn, 400);
                    conn.Consume(2);
                    conn.state = State::ChunkSize;
                    break;
                case State::Trailer: {
                    const size_t nEol = strIn.find("\r\n");
                    const size_t nLine = nEol == std::string_view::npos ? strIn.size() : nEol + 2;
                    if (conn.nTrailerBytes + nLine > m_options.nMaxHeaderBytes) {
                        return Refuse(conn, 431);
                    }
                    if (nEol == std::string_view::npos) return true;
                    conn.Consume(nLine);
                    if (nEol == 0) return Dispatch(conn);
                    conn.nTrailerBytes += nLine;  // trailer fields are not used
                    break;
                }
                default:
                    return true;
            }
        }
    }

    // Reads the request line and the headers (each line ending in CR LF) and decides how the body
    // is framed: 0 and the state for the body (Head when there is none), or a status to refuse.
    int ParseHead(CONN& conn, std::string_view strHead) {
        HTTP_REQUEST& req = conn.req;
        req.strRemote = conn.strRemote;
        const size_t nLineEnd = strHead.find("\r\n");
        const std::string_view strLine = strHead.substr(0, nLineEnd);
        strHead.remove_prefix(nLineEnd + 2);
        const size_t nSp1 = strLine.find(' ');
        const size_t nSp2 = nSp1 == std::string_view::npos ? nSp1 : strLine.find(' ', nSp1 + 1);
        if (nSp2 == std::string_view::npos) return 400;
        req.strMethod = std::string(strLine.substr(0, nSp1));
        req.strTarget = std::string(strLine.substr(nSp1 + 1, nSp2 - nSp1 - 1));
        const std::string_view strVersion = strLine.substr(nSp2 + 1);
        if (req.strMethod.empty() || req.strTarget.empty() ||
            !std::all_of(req.strMethod.begin(), req.strMethod.end(), IsTokenChar) ||
            req.strTarget.find_first_of(" \t") != std::string::npos) {
            return 400;
        }
        if (strVersion.substr(0, 5) != "HTTP/") return 400;
        if (strVersion != "HTTP/1.1" && strVersion != "HTTP/1.0") return 505;
        req.strPath = PercentDecode(req.strTarget.substr(0, req.strTarget.find('?')));

        while (!strHead.empty()) {
            const size_t nEol = strHead.find("\r\n");
            const std::string_view strField = strHead.substr(0, nEol);
            strHead.remove_prefix(nEol + 2);
            const size_t nColon = strField.find(':');
            if (nColon == 0 || nColon == std::string_view::npos) return 400;
            const std::string_view strName = strField.substr(0, nColon);
            // Folded lines and blanks before the colon make the field ambiguous.
            if (!std::all_of(strName.begin(), strName.end(), IsTokenChar)) return 400;
            req.vecHeaders.emplace_back(std::string(strName),
                                        std::string(Trim(strField.substr(nColon + 1))));
        }

        const std::vector<std::string> vecConnection = ListItems(req.Headers("Connection"));
        const auto Has = [&vecConnection](const char* psz) {
            return std::find(vecConnection.begin(), vecConnection.end(), psz) !=
                   vecConnection.end();
        };
        conn.bKeepAlive = strVersion == "HTTP/1.1" ? !Has("close") : Has("keep-alive");

        const std::vector<std::string> vecCodings = ListItems(req.Headers("Transfer-Encoding"));
        const std::vector<std::string> vecLengths = req.Headers("Content-Length");
        bool bBody = false;
        if (!req.Headers("Transfer-Encoding").empty()) {
            // Both framings at once is how requests are smuggled past a proxy.
            if (!vecLengths.empty() || strVersion != "HTTP/1.1") return 400;
            if (vecCodings != std::vector<std::string>{"chunked"}) return 501;
            conn.state = State::ChunkSize;
            bBody = true;
        } else if (!vecLengths.empty()) {
            for (const std::string& strLength : vecLengths) {
                if (strLength != vecLengths.front() || strLength.empty() || strLength.size() > 18 ||
                    !std::all_of(strLength.begin(), strLength.end(),
                                 [](char c) { return c >= '0' && c <= '9'; })) {
                    return 400;
                }
            }
            const unsigned long long nLength = std::stoull(vecLengths.front());
            if (nLength > m_options.nMaxBody) return 413;
            conn.nContentLength = static_cast<size_t>(nLength);
            if (nLength > 0) {
                conn.state = State::Body;
                bBody = true;
            }
        }

        const std::string strExpect = LowerCopy(req.Header("Expect"));
        if (!strExpect.empty()) {
            if (strExpect != "100-continue") return 417;
            // The client waits for this before it sends a large body.
            if (bBody) conn.strOut += "HTTP/1.1 100 Continue\r\n\r\n";
        }
        return 0;
    }

    bool Dispatch(CONN& conn) {
        conn.state = State::Handling;
        conn.bReqDeadline = false;  // the handler's time is the receiver's own
        UpdateInterest(conn);
        {
            std::lock_guard<std::mutex> lock(m_mutexJobs);
            m_dequeJobs.push_back(JOB{conn.nKey, std::move(conn.req), {}});
        }
        conn.req = HTTP_REQUEST{};
        m_cvJobs.notify_one();
        return true;
    }

    // Answers with the status, then drops the rest of the request for a short while and closes.
    // Returns true: the connection stays open until the answer is out.
    bool Refuse(CONN& conn, int nStatus) {
        conn.res = HTTP_RESPONSE{};
        conn.res.nStatus = nStatus;
        if (m_refusal) m_refusal(conn.res);
        conn.bKeepAlive = false;
        conn.bLingerAfter = true;
        conn.state = State::Writing;
        QueueAnswer(conn);
        return Write(conn);
    }

    void QueueAnswer(CONN& conn) {
        const HTTP_RESPONSE& res = conn.res;
        conn.strOut += "HTTP/1.1 " + std::to_string(res.nStatus) + " " + StatusText(res.nStatus) +
                       "\r\nContent-Type: " + res.strContentType +
                       "\r\nContent-Length: " + std::to_string(res.strBody.size()) +
                       "\r\nConnection: " + (conn.bKeepAlive ? "keep-alive" : "close") +
                       "\r\n\r\n" + res.strBody;
        conn.bFinalQueued = true;
    }

    // Writes what the socket takes. False when the connection was closed.
    bool Write(CONN& conn) {
        while (conn.nOutPos < conn.strOut.size()) {
            const ssize_t n = ::send(conn.nFd, conn.strOut.data() + conn.nOutPos,
                                     conn.strOut.size() - conn.nOutPos, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                UpdateInterest(conn);
                return true;
            }
            if (n < 0) {
                Close(conn);
                return false;
            }
            conn.nOutPos += static_cast<size_t>(n);
        }
        conn.strOut.clear();
        conn.nOutPos = 0;
        if (!conn.bFinalQueued) {
            UpdateInterest(conn);
            return true;
        }
        if (m_logger) m_logger(conn.req, conn.res, conn.nBodyIn);
        if (conn.bLingerAfter) {
            ::shutdown(conn.nFd, SHUT_WR);
            conn.state = State::Lingering;
            conn.nLingerLeft = kLingerBytes;
            conn.strIn.clear();
            conn.nInPos = 0;
            const Clock::time_point tLinger = Clock::now() + kLingerTime;
            if (!conn.bReqDeadline || tLinger < conn.tReqDeadline) conn.tReqDeadline = tLinger;
            conn.bReqDeadline = true;
            UpdateInterest(conn);
            return true;
        }
        if (!conn.bKeepAlive) {
            Close(conn);
            return false;
        }
        // Ready for the next request on this connection; it may have arrived already.
        conn.req = HTTP_REQUEST{};
        conn.res = HTTP_RESPONSE{};
        conn.nContentLength = conn.nChunkLeft = conn.nTrailerBytes = conn.nBodyIn = 0;
        conn.bFinalQueued = false;
        conn.bReqDeadline = false;
        conn.state = State::Idle;
        UpdateInterest(conn);
        return Process(conn);
    }

    // ---- workers ----

    void WorkerLoop() {
        while (true) {
            JOB job;
            {
                std::unique_lock<std::mutex> lock(m_mutexJobs);
                m_cvJobs.wait(lock, [this] { return m_bWorkersStop || !m_dequeJobs.empty(); });
                if (m_bWorkersStop) return;
                job = std::move(m_dequeJobs.front());
                m_dequeJobs.pop_front();
            }
            try {
                m_handler(job.req, job.res);
            } catch (const std::exception& e) {
                job.res = HTTP_RESPONSE{500, "text/plain", std::string(e.what()) + "\n"};
            }
            // The answer needs the request for its log line only.
            job.req.strBody.clear();
            job.req.strBody.shrink_to_fit();
            {
                std::lock_guard<std::mutex> lock(m_mutexDone);
                m_dequeDone.push_back(std::move(job));
            }
            Wake();
        }
    }

    void TakeAnswers() {
        std::deque<JOB> dequeDone;
        {
            std::lock_guard<std::mutex> lock(m_mutexDone);
            dequeDone.swap(m_dequeDone);
        }
        for (JOB& job : dequeDone) {
            const auto it = m_mapConns.find(job.nKey);
            if (it == m_mapConns.end()) continue;
            CONN& conn = *it->second;
            conn.req = std::move(job.req);
            conn.res = std::move(job.res);
            conn.state = State::Writing;
            conn.tReqDeadline = Clock::now() + m_options.requestTimeout;
            conn.bReqDeadline = true;
            QueueAnswer(conn);
            Write(conn);
        }
    }

    // ---- deadlines ----

    Clock::time_point DeadlineOf(const CONN& conn) const {
        if (conn.state == State::Handling) return Clock::time_point::max();
        return conn.bReqDeadline ? std::min(conn.tReqDeadline, conn.tConnDeadline)
                                 : conn.tConnDeadline;
    }

    int NextTimeoutMs() const {
        Clock::time_point tNext = Clock::time_point::max();
        for (const auto& [nKey, pConn] : m_mapConns) tNext = std::min(tNext, DeadlineOf(*pConn));
        if (tNext == Clock::time_point::max()) return -1;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(tNext - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
    }

    void ExpireDeadlines() {
        const Clock::time_point tNow = Clock::now();
        std::vector<uint64_t> vecExpired;
        for (const auto& [nKey, pConn] : m_mapConns) {
            if (DeadlineOf(*pConn) <= tNow) vecExpired.push_back(nKey);
        }
        for (uint64_t nKey : vecExpired) {
            CONN& conn = *m_mapConns.at(nKey);
            const bool bMidRequest =
                conn.state != State::Idle && conn.state != State::Lingering && !conn.bFinalQueued;
            if (bMidRequest) {
                // Tell a client that is still sending why it is cut off; whatever the socket does
                // not take at once is not waited for.
                conn.res = HTTP_RESPONSE{};
                conn.res.nStatus = 408;
                if (m_refusal) m_refusal(conn.res);
                conn.bKeepAlive = false;
                QueueAnswer(conn);
                [[maybe_unused]] const ssize_t n =
                    ::send(conn.nFd, conn.strOut.data() + conn.nOutPos,
                           conn.strOut.size() - conn.nOutPos, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (m_logger) m_logger(conn.req, conn.res, conn.nBodyIn);
            }
            m_owner.m_nDeadlineCloses.fetch_add(1);
            Close(conn);
        }
    }

    CEventServer& m_owner;
    EVENT_SERVER_OPTIONS m_options;
    Handler m_handler;
    RefusalHandler m_refusal;
    Logger m_logger;
    int m_nEpoll = -1;
    int m_nWake = -1;
    int m_nListen = -1;
    bool m_bListenPaused = false;
    std::atomic<bool> m_bStop{false};
    uint64_t m_nNextKey = 2;
    std::unordered_map<uint64_t, std::unique_ptr<CONN>> m_mapConns;

    std::vector<std::thread> m_vecWorkers;
    std::mutex m_mutexJobs;
    std::condition_variable m_cvJobs;
    std::deque<JOB> m_dequeJobs;
    bool m_bWorkersStop = false;
    std::mutex m_mutexDone;
    std::deque<JOB> m_dequeDone;
};

CEventServer::CEventServer(EVENT_SERVER_OPTIONS options, Handler handler, RefusalHandler refusal,
                           Logger logger)
    : m_pImpl(std::make_unique<CImpl>(*this, options, std::move(handler), std::move(refusal),
                                      std::move(logger))) {}

CEventServer::~CEventServer() = default;

int CEventServer::Bind(const std::string& strHost, int nPort, std::string& strError) {
    return m_pImpl->Bind(strHost, nPort, strError);
}

bool CEventServer::Serve() {
    return m_pImpl->Serve();
}

void CEventServer::Stop() {
    m_pImpl->Stop();
}

}  // namespace ktfeedback
