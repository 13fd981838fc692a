// A lean ranged file server on 127.0.0.1 for the download benchmarks: GET with or without one
// "Range: bytes=a-b", answered from memory (206 with Content-Range, or 200), Last-Modified on
// every reply, keep-alive, and an optional per-connection rate limit (what nginx's limit_rate
// does), so that the engine and the curl processes it is compared with meet the same server.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CRangeServer {
public:
    CRangeServer(size_t nSize, size_t nBytesPerSecond)
        : m_strBody(nSize, '\0'), m_nRate(nBytesPerSecond) {
        uint32_t nState = 7;
        for (size_t i = 0; i < nSize; ++i) {
            nState = nState * 1103515245u + 12345u;
            m_strBody[i] = static_cast<char>(nState >> 23);
        }
        m_nListen = ::socket(AF_INET, SOCK_STREAM, 0);
        int nOne = 1;
        ::setsockopt(m_nListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(m_nListen, 64) != 0) {
            std::abort();
        }
        socklen_t nLen = sizeof(addr);
        ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
        m_acceptor = std::thread([this] { AcceptLoop(); });
    }

    ~CRangeServer() {
        m_bStop = true;
        ::shutdown(m_nListen, SHUT_RDWR);
        ::close(m_nListen);
        m_acceptor.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int nFd : m_vecClients) {
            if (nFd >= 0) ::shutdown(nFd, SHUT_RDWR);
        }
        for (std::thread& t : m_vecThreads) t.join();
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort) + "/file"; }
    const std::string& Body() const { return m_strBody; }

private:
    void AcceptLoop() {
        while (!m_bStop) {
            const int nFd = ::accept(m_nListen, nullptr, nullptr);
            if (nFd < 0) {
                if (m_bStop) return;
                continue;
            }
            int nOne = 1;
            ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecClients.push_back(nFd);
            m_vecThreads.emplace_back([this, nFd] { Serve(nFd); });
        }
    }

    void Serve(int nFd) {
        std::string strIn;
        char aChunk[4096];
        for (;;) {
            size_t nHeadEnd;
            while ((nHeadEnd = strIn.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::recv(nFd, aChunk, sizeof(aChunk), 0);
                if (n <= 0) return Close(nFd);
                strIn.append(aChunk, static_cast<size_t>(n));
            }
            const std::string strHead = strIn.substr(0, nHeadEnd);
            strIn.erase(0, nHeadEnd + 4);

            size_t nFirst = 0;
            size_t nLast = m_strBody.size() - 1;
            bool bRange = false;
            const size_t nRange = FindNoCase(strHead, "\r\nrange: bytes=");
            if (nRange != std::string::npos) {
                char* pEnd = nullptr;
                nFirst = std::strtoull(strHead.c_str() + nRange + 15, &pEnd, 10);
                if (*pEnd == '-' && pEnd[1] >= '0' && pEnd[1] <= '9') {
                    nLast = std::min<size_t>(std::strtoull(pEnd + 1, nullptr, 10), nLast);
                }
                bRange = nFirst <= nLast;
            }
            if (!bRange) {
                nFirst = 0;
                nLast = m_strBody.size() - 1;
            }
            std::string strReply =
                bRange ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
            strReply += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n";
            strReply += "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
            if (bRange) {
                strReply += "Content-Range: bytes " + std::to_string(nFirst) + "-" +
                            std::to_string(nLast) + "/" + std::to_string(m_strBody.size()) + "\r\n";
            }
            strReply += "Content-Length: " + std::to_string(nLast - nFirst + 1) + "\r\n\r\n";
            if (!SendAll(nFd, strReply.data(), strReply.size()) ||
                !SendBody(nFd, m_strBody.data() + nFirst, nLast - nFirst + 1)) {
                return Close(nFd);
            }
        }
    }

    bool SendBody(int nFd, const char* p, size_t n) {
        if (m_nRate == 0) return SendAll(nFd, p, n);
        // Twenty slices a second, each sent when the connection's budget allows it.
        const size_t nSlice = std::max<size_t>(1, m_nRate / 20);
        const auto tStart = std::chrono::steady_clock::now();
        size_t nSent = 0;
        while (nSent < n) {
            const size_t nTake = std::min(nSlice, n - nSent);
            if (m_bStop || !SendAll(nFd, p + nSent, nTake)) return false;
            nSent += nTake;
            std::this_thread::sleep_until(
                tStart + std::chrono::microseconds(static_cast<long long>(
                             static_cast<double>(nSent) * 1e6 / static_cast<double>(m_nRate))));
        }
        return true;
    }

    static size_t FindNoCase(const std::string& strText, const char* pszNeedle) {
        const size_t nLen = std::strlen(pszNeedle);
        for (size_t i = 0; i + nLen <= strText.size(); ++i) {
            if (::strncasecmp(strText.c_str() + i, pszNeedle, nLen) == 0) return i;
        }
        return std::string::npos;
    }

    static bool SendAll(int nFd, const char* p, size_t n) {
        while (n > 0) {
            const ssize_t nSent = ::send(nFd, p, n, MSG_NOSIGNAL);
            if (nSent <= 0) return false;
            p += nSent;
            n -= static_cast<size_t>(nSent);
        }
        return true;
    }

    void Close(int nFd) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int& nClient : m_vecClients) {
            if (nClient == nFd) nClient = -1;
        }
        ::close(nFd);
    }

    std::string m_strBody;
    size_t m_nRate;
    int m_nListen = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<int> m_vecClients;
    std::vector<std::thread> m_vecThreads;
};
