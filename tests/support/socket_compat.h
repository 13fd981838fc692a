#pragma once
// The socket calls of the loopback servers where BSD sockets and Winsock differ. A socket is an int
// on both: a Winsock SOCKET is a small handle value, and INVALID_SOCKET narrows to -1. recv, send,
// bind, listen, connect and shutdown are called directly (SHUT_WR and MSG_NOSIGNAL are given their
// Winsock meaning here).

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kttest::net {

#ifdef _WIN32
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#define MSG_NOSIGNAL 0  // Winsock raises no signal for a closed peer

// Winsock is started once per process, before any server or client opens a socket.
inline const bool g_bWinsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

// Sockets are not inherited: a program a test starts must not keep a server's port open.
inline int NoInherit(SOCKET s) {
    if (s == INVALID_SOCKET) return -1;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
}
inline int OpenSocket() {
    return NoInherit(::socket(AF_INET, SOCK_STREAM, 0));
}
inline int AcceptSocket(int nListenFd) {
    return NoInherit(::accept(static_cast<SOCKET>(nListenFd), nullptr, nullptr));
}
inline int CloseSocket(int nFd) {
    return ::closesocket(static_cast<SOCKET>(nFd));
}
// Wakes a thread blocked in accept on the socket; true when that closed the socket. Winsock's
// shutdown does not wake it, only closing does.
inline bool WakeAccept(int nListenFd) {
    return CloseSocket(nListenFd), true;
}
inline bool WaitReadable(int nFd, int nTimeoutMs) {
    WSAPOLLFD pfd{};
    pfd.fd = static_cast<SOCKET>(nFd);
    pfd.events = POLLIN;
    return ::WSAPoll(&pfd, 1, nTimeoutMs) > 0;
}
#else
inline int OpenSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
inline int AcceptSocket(int nListenFd) {
    return ::accept4(nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
}
inline int CloseSocket(int nFd) {
    return ::close(nFd);
}
inline bool WakeAccept(int nListenFd) {
    return ::shutdown(nListenFd, SHUT_RDWR), false;
}
inline bool WaitReadable(int nFd, int nTimeoutMs) {
    pollfd pfd{nFd, POLLIN, 0};
    return ::poll(&pfd, 1, nTimeoutMs) > 0;
}
#endif

inline void SetIntOption(int nFd, int nLevel, int nName, int nValue) {
    ::setsockopt(nFd, nLevel, nName, reinterpret_cast<const char*>(&nValue), sizeof nValue);
}

}  // namespace kttest::net
