// The receiver's HTTP/1.1 server: one thread waits on every connection with epoll and reads
// requests as their bytes come; only a request that has arrived whole goes to a small pool of
// workers that run the handler. A slow client therefore holds a socket and a buffer, never a
// thread, and every request has a deadline from its first byte to its last answer byte, every
// connection one from its accept to its close.
//
// The body limit counts the bytes read, whatever the framing: a Content-Length above it is refused
// before its body is read, a chunked body as soon as its chunks would pass it. A refused request is
// answered, its connection closed, and nothing reaches the handler.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ktfeedback {

struct HTTP_REQUEST {
    std::string strMethod;
    std::string strTarget;  // as sent
    std::string strPath;    // the target without its query, percent-escapes decoded
    std::vector<std::pair<std::string, std::string>> vecHeaders;  // in arrival order
    std::string strBody;
    std::string strRemote;  // the peer's address

    // The value of the first header of that name (compared without case), or empty.
    std::string Header(std::string_view strName) const;
    // The values of every header of that name, in arrival order.
    std::vector<std::string> Headers(std::string_view strName) const;
};

struct HTTP_RESPONSE {
    int nStatus = 200;
    std::string strContentType = "text/plain";
    std::string strBody;
};

struct EVENT_SERVER_OPTIONS {
    size_t nMaxBody = 64u * 1024 * 1024;
    // Request line and header lines together (trailers of a chunked body count as well).
    size_t nMaxHeaderBytes = 64 * 1024;
    // From a request's first byte until its answer is written (the handler's own time excepted).
    std::chrono::milliseconds requestTimeout{120000};
    // From accept until close, idle time between requests included.
    std::chrono::milliseconds connectionTimeout{300000};
    int nWorkers = 4;
    // Connections beyond this are closed at once; raise the open-file limit to match.
    size_t nMaxConnections = 1000;
};

class CEventServer {
public:
    // Runs on a worker; fills the response.
    using Handler = std::function<void(const HTTP_REQUEST&, HTTP_RESPONSE&)>;
    // Fills the response of a request the server refused itself (400, 408, 413, 431, 501): the
    // status is set, the handler may give it a text.
    using RefusalHandler = std::function<void(HTTP_RESPONSE&)>;
    // Runs on the server thread once an answer is written (or the connection dropped); nBodyIn is
    // the number of body bytes read.
    using Logger = std::function<void(const HTTP_REQUEST&, const HTTP_RESPONSE&, size_t nBodyIn)>;

    CEventServer(EVENT_SERVER_OPTIONS options, Handler handler, RefusalHandler refusal,
                 Logger logger);
    ~CEventServer();
    CEventServer(const CEventServer&) = delete;
    CEventServer& operator=(const CEventServer&) = delete;

    // Binds and listens; the port in use (> 0), or -1 with a message in strError.
    int Bind(const std::string& strHost, int nPort, std::string& strError);
    // Serves on the calling thread until Stop; false when there is nothing bound or the poll
    // failed. The workers live as long as this call.
    bool Serve();
    // Any thread, also before Serve (which then returns at once).
    void Stop();

    // Connections open right now, and those closed because a deadline passed (tests, stress).
    size_t GetOpenConnections() const { return m_nOpen.load(); }
    uint64_t GetDeadlineCloses() const { return m_nDeadlineCloses.load(); }

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
    std::atomic<size_t> m_nOpen{0};
    std::atomic<uint64_t> m_nDeadlineCloses{0};
};

// The reason phrase of a status code.
const char* StatusText(int nStatus);

}  // namespace ktfeedback
