// Arbitrary reply heads through the download's information request: a loopback server answers the
// "0-0" request with the input as written (a head end is added when the input has none), and the
// reply headers are parsed as a download would parse them. A request that succeeds must leave a
// size a file can have and a range answer of 0 or 1. The parse itself is reachable only through
// the request, so each input costs one loopback transfer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "httpdownload/httpdownload.h"
#include "platform/codepage.h"

namespace {

// Serves one connection at a time with the current reply, forever.
class CReplyServer {
public:
    CReplyServer() {
        m_nListen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(m_nListen, 16);
        socklen_t nLen = sizeof(addr);
        ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
        std::thread([this] { Loop(); }).detach();
    }
    int GetPort() const { return m_nPort; }
    void SetReply(std::string strReply) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strReply = std::move(strReply);
    }

private:
    void Loop() {
        while (true) {
            const int fd = ::accept(m_nListen, nullptr, nullptr);
            if (fd < 0) continue;
            std::string strRequest;
            char buf[4096];
            for (ssize_t n; strRequest.find("\r\n\r\n") == std::string::npos &&
                            (n = ::recv(fd, buf, sizeof(buf), 0)) > 0;) {
                strRequest.append(buf, static_cast<size_t>(n));
            }
            std::string strReply;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                strReply = m_strReply;
            }
            // Closed at once: the transfer library may keep a connection for later requests, and
            // waiting for it to let go would stall the next input until its time-out.
            ::send(fd, strReply.data(), strReply.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    }

    int m_nListen = -1;
    int m_nPort = 0;
    std::mutex m_mutex;
    std::string m_strReply;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 8192) return 0;
    static CReplyServer server;
    std::string strReply(reinterpret_cast<const char*>(pData), nSize);
    if (strReply.find("\r\n\r\n") == std::string::npos) strReply += "\r\n\r\n";
    server.SetReply(std::move(strReply));

    CHttp_DownloadFile part(-1, nullptr);
    part.SetTimeout(5000);
    const std::u16string strUrl =
        u"http://127.0.0.1:" + kt::FromUtf8(std::to_string(server.GetPort())) + u"/file";
    if (CMTRDownload::GetReomteSiteInfo(&part, strUrl) == 0 &&
        (part.GetRemoteSize() < 0 || part.GetRangeSupport() > 1)) {
        __builtin_trap();
    }
    return 0;
}
