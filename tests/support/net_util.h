// Socket helpers of the loopback servers, and a plain client for tests that write every byte on
// the wire themselves.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kttest::net {

// Listening TCP socket on 127.0.0.1 with a port chosen by the system; -1 on failure.
int ListenLoopback(int& nPortOut);
// Connected TCP socket to 127.0.0.1:nPort; -1 on failure.
int ConnectLoopback(int nPort);
// Sends every byte (no SIGPIPE); false when the peer is gone.
bool SendAll(int nFd, const char* pData, size_t nSize);
// Every byte the peer sends until it closes (a one-minute pause between bytes gives up, so that
// a broken server cannot hang the test).
std::string ReadToEnd(int nFd);
// Connects, sends the bytes as written, ends the sending side and reads until the server closes.
std::string Exchange(int nPort, const std::string& strSend);
// Case-insensitive ASCII equality.
bool EqualsNoCase(const std::string& strA, const std::string& strB);

// Accepts connections on a loopback port and serves each on a thread of its own. The listener
// owns the sockets: it closes each one after its serve function returns, and Stop shuts every
// open one down (so blocked reads and writes return) before it joins the threads.
class CListener {
public:
    // nIndex: the connection's place in accept order, from 0.
    using ServeFn = std::function<void(int nFd, size_t nIndex)>;
    explicit CListener(ServeFn fnServe);
    ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    bool IsListening() const;
    int Port() const;
    size_t ConnectionCount() const;
    // Idempotent; returns once every connection thread has ended.
    void Stop();

    struct IMPL;

private:
    std::unique_ptr<IMPL> m_pImpl;
};

}  // namespace kttest::net
