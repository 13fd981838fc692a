// Socket helpers shared by the loopback servers (internal to kt_test_support).
#pragma once

#include <cstddef>
#include <string>

namespace kttest::net {

// Listening TCP socket on 127.0.0.1 with a port chosen by the system; -1 on failure.
int ListenLoopback(int& nPortOut);
// Connected TCP socket to 127.0.0.1:nPort; -1 on failure.
int ConnectLoopback(int nPort);
// Sends every byte (no SIGPIPE); false when the peer is gone.
bool SendAll(int nFd, const char* pData, size_t nSize);
// Disables Nagle so that small scripted writes leave at once.
void SetNoDelay(int nFd);
// Makes close() send a reset instead of a FIN.
void SetAbortiveClose(int nFd);
// Case-insensitive ASCII equality.
bool EqualsNoCase(const std::string& strA, const std::string& strB);

}  // namespace kttest::net
