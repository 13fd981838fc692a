// A minimal keep-alive HTTP/1.1 responder on 127.0.0.1 for the transfer benchmarks: every request
// (GET or POST, its body read and dropped) gets 200 with the same body, sent straight from memory
// so that the server costs both sides of a comparison alike and as little as possible.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CBenchServer {
public:
    explicit CBenchServer(size_t nBodySize) : m_strBody(nBodySize, 'b') {
        for (size_t i = 0; i < nBodySize; i += 4096) m_strBody[i] = static_cast<char>('a' + i % 26);
        m_nListen = ::socket(AF_INET, SOCK_STREAM, 0);
        int nOne = 1;
        ::setsockopt(m_nListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (::bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(m_nListen, 64) != 0) {
            std::abort();
        }
        socklen_t nLen = sizeof(addr);
        ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
        m_acceptor = std::thread([this] { AcceptLoop(); });
    }

    ~CBenchServer() {
        m_bStop = true;
        ::shutdown(m_nListen, SHUT_RDWR);
        ::close(m_nListen);
        m_acceptor.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int nFd : m_vecClients) ::shutdown(nFd, SHUT_RDWR);
        for (std::thread& t : m_vecThreads) t.join();
    }

    std::string Url(const char* pszPath = "/data") const {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + pszPath;
    }
    size_t BodySize() const { return m_strBody.size(); }

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
        std::vector<char> vecChunk(1 << 16);
        const std::string strHead =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Length: " +
            std::to_string(m_strBody.size()) + "\r\n\r\n";
        for (;;) {
            size_t nHeadEnd;
            while ((nHeadEnd = strIn.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::recv(nFd, vecChunk.data(), vecChunk.size(), 0);
                if (n <= 0) return Close(nFd);
                strIn.append(vecChunk.data(), static_cast<size_t>(n));
            }
            size_t nBody = 0;
            const size_t nCl = FindNoCase(strIn, "content-length:", nHeadEnd);
            if (nCl != std::string::npos)
                nBody = std::strtoull(strIn.c_str() + nCl + 15, nullptr, 10);
            size_t nHave = strIn.size() - (nHeadEnd + 4);
            while (nHave < nBody) {
                const ssize_t n = ::recv(nFd, vecChunk.data(), vecChunk.size(), 0);
                if (n <= 0) return Close(nFd);
                nHave += static_cast<size_t>(n);
            }
            strIn.clear();  // one request at a time: no pipelining
            if (!SendAll(nFd, strHead.data(), strHead.size()) ||
                !SendAll(nFd, m_strBody.data(), m_strBody.size())) {
                return Close(nFd);
            }
        }
    }

    static size_t FindNoCase(const std::string& strText, const char* pszNeedle, size_t nEnd) {
        const size_t nLen = std::strlen(pszNeedle);
        for (size_t i = 0; i + nLen <= nEnd; ++i) {
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
    int m_nListen = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<int> m_vecClients;
    std::vector<std::thread> m_vecThreads;
};
