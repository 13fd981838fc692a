#include "support/net_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kttest::net {

int ListenLoopback(int& nPortOut) {
    nPortOut = 0;
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) return -1;
    int nOne = 1;
    ::setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t nLen = sizeof addr;
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(nFd, 64) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        ::close(nFd);
        return -1;
    }
    nPortOut = ntohs(addr.sin_port);
    return nFd;
}

int ConnectLoopback(int nPort) {
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    int nRc;
    do {
        nRc = ::connect(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (nRc != 0 && errno == EINTR);
    if (nRc != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

bool SendAll(int nFd, const char* pData, size_t nSize) {
    while (nSize > 0) {
        ssize_t nSent = ::send(nFd, pData, nSize, MSG_NOSIGNAL);
        if (nSent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        pData += nSent;
        nSize -= static_cast<size_t>(nSent);
    }
    return true;
}

void SetNoDelay(int nFd) {
    int nOne = 1;
    ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
}

void SetAbortiveClose(int nFd) {
    linger lin{};
    lin.l_onoff = 1;
    lin.l_linger = 0;
    ::setsockopt(nFd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
}

bool EqualsNoCase(const std::string& strA, const std::string& strB) {
    if (strA.size() != strB.size()) return false;
    for (size_t i = 0; i < strA.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(strA[i]);
        unsigned char b = static_cast<unsigned char>(strB[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace kttest::net
