// Socket helpers of the loopback servers, the part both servers share, and a plain client for
// tests that write every byte on the wire themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kttest {

namespace net {

// Connected TCP socket to 127.0.0.1:nPort; -1 on failure.
int ConnectLoopback(int nPort);
// A loopback port with nothing listening on it (connections to it are refused).
int ClosedPort();
// Closes a socket ConnectLoopback gave.
int CloseSocket(int nFd);
// Sends every byte (no SIGPIPE); false when the peer is gone, or once fnStopped holds while the
// peer is not reading.
bool SendAll(int nFd, const char* pData, size_t nSize, const std::function<bool()>& fnStopped = {});
// Every byte the peer sends until it closes (a one-minute pause between bytes gives up, so that
// a broken server cannot hang the test).
std::string ReadToEnd(int nFd);
// Connects, sends the bytes as written, ends the sending side and reads until the server closes.
std::string Exchange(int nPort, const std::string& strSend);

}  // namespace net

// What both loopback servers share: a listener on 127.0.0.1 with an ephemeral port that serves
// each connection on a thread of its own (the server owns the sockets: it closes each one after
// its serve function returns, and Stop shuts every open one down so that blocked reads return;
// replies are written without blocking), the stop flag every wait and write watches, and the
// requests recorded so far, each as the bytes that came (head and whole body). All methods are
// thread-safe. Not copyable or movable.
class CLoopbackServer {
public:
    CLoopbackServer(const CLoopbackServer&) = delete;
    CLoopbackServer& operator=(const CLoopbackServer&) = delete;

    // True while accepting connections; false after a failed start or after Stop().
    bool IsRunning() const {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_nPort != 0 && !m_bStopping;
    }
    // Port the clients connect to (0 when the start failed).
    int Port() const { return m_nPort; }
    // "http://127.0.0.1:PORT" + strPath; strPath should start with '/'.
    std::string Url(const std::string& strPath = "/") const {
        return "http://127.0.0.1:" + std::to_string(Port()) + strPath;
    }
    // Stops accepting, breaks open connections, wakes every waiting reply and joins every thread.
    // Idempotent; the destructor of each server calls it.
    void Stop();
    // Number of requests recorded so far.
    size_t RequestCount() const {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_vecRequests.size();
    }
    // Waits until at least nCount requests are recorded; false on time-out.
    bool WaitForRequests(size_t nCount, int nTimeoutMs = 5000) const {
        std::unique_lock<std::mutex> lk(m_mtx);
        return m_cv.wait_for(lk, std::chrono::milliseconds(nTimeoutMs),
                             [&] { return m_vecRequests.size() >= nCount; });
    }
    // The bytes of request nIndex in arrival order; empty when out of range.
    std::string Request(size_t nIndex) const {
        std::lock_guard<std::mutex> lk(m_mtx);
        return nIndex < m_vecRequests.size() ? m_vecRequests[nIndex] : std::string();
    }
    // Number of TCP connections accepted so far.
    size_t ConnectionCount() const {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_nAccepted;
    }

protected:
    // nIndex: the connection's place in accept order, from 0.
    using ServeFn = std::function<void(int nFd, size_t nIndex)>;
    CLoopbackServer() = default;
    // The derived servers stop first: their serve functions use their members.
    ~CLoopbackServer() = default;
    // Starts accepting; the derived server calls it once its own members stand.
    void Listen(ServeFn fnServe);
    // SendAll, given up once the server stops.
    bool Send(int nFd, const char* pData, size_t nSize);
    void Record(std::string strRequest) {
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            m_vecRequests.push_back(std::move(strRequest));
        }
        m_cv.notify_all();
    }

    mutable std::mutex m_mtx;  // guards the members below and those of the derived server
    mutable std::condition_variable m_cv;
    bool m_bStopping = false;

private:
    struct CONNECTION;
    size_t m_nAccepted = 0;
    std::vector<std::string> m_vecRequests;
    std::vector<std::shared_ptr<CONNECTION>> m_vecConns;
    ServeFn m_fnServe;
    int m_nPort = 0;
    int m_nListenFd = -1;
    std::thread m_thAccept;
};

}  // namespace kttest
