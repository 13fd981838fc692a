// Stress program for the bundled receiver: N slow clients each send one byte of a request per
// second while normal reports are posted one after another; prints every post's latency (connect
// to the end of the answer), then waits until the receiver has dropped every slow client by its
// request deadline, and prints the receiver's threads and resident memory before, during and after.
//
//   receiver_slow_clients [--slow 200] [--posts 20] [--request-timeout MS (10000)]
//
// The run passes when every post was answered with 200 within 2 s and the receiver ends with the
// threads it started with and within 2 MiB of its starting memory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Connect(int nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::pair<int, long> ThreadsAndRss(int nPid) {
    std::ifstream in("/proc/" + std::to_string(nPid) + "/status");
    std::pair<int, long> result{0, 0};
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.rfind("Threads:", 0) == 0) result.first = std::stoi(strLine.substr(8));
        if (strLine.rfind("VmRSS:", 0) == 0) result.second = std::stol(strLine.substr(6));
    }
    return result;
}

// One report as the reporter posts it (a 50 KB attachment), with the answer read to its end.
std::string PostOnce(int nPort, const std::string& strRequest) {
    const int fd = Connect(nPort);
    if (fd < 0) return {};
    ::send(fd, strRequest.data(), strRequest.size(), MSG_NOSIGNAL);
    std::string strReply;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof(buf), 0)) > 0;) strReply.append(buf, size_t(n));
    ::close(fd);
    return strReply;
}

}  // namespace

int main(int argc, char** argv) {
    int nSlow = 200, nPosts = 20, nRequestTimeout = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string strArg = argv[i];
        const int nValue = std::atoi(argv[i + 1]);
        if (strArg == "--slow") nSlow = nValue;
        if (strArg == "--posts") nPosts = nValue;
        if (strArg == "--request-timeout") nRequestTimeout = nValue;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kt-slow-bench-" + std::to_string(::getpid()));
    const std::string strCommand =
        "echo $$; exec " KT_FEEDBACK_SERVER_EXE " --listen 127.0.0.1:0 --dir " + dir.string() +
        " --request-timeout " + std::to_string(nRequestTimeout) + " 2>/dev/null";
    FILE* pOut = ::popen(strCommand.c_str(), "r");
    char szPid[32] = "", szLine[512] = "";
    const std::string strPrefix = "listening on http://127.0.0.1:";
    if (!pOut || !std::fgets(szPid, sizeof szPid, pOut) ||
        !std::fgets(szLine, sizeof szLine, pOut) || std::string(szLine).rfind(strPrefix, 0) != 0) {
        std::fprintf(stderr, "the receiver did not start\n");
        return 1;
    }
    const int nPid = std::atoi(szPid);
    const int nPort = std::atoi(szLine + strPrefix.size());

    const std::string strBoundary = "---------------------------7d92de3351722";
    const std::string strBody = "\r\n--" + strBoundary +
                                "\r\nContent-Disposition: form-data; name=\"ATTACH_FILE_NAME\"; "
                                "filename=\"a.jpeg\"\r\nContent-Type: image/pjpeg\r\n\r\n" +
                                std::string(50000, 'j') + "\r\n--" + strBoundary + "--\r\n\r\n";
    const std::string strPost =
        "POST /feedback HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
        "boundary=" +
        strBoundary + "\r\nContent-Length: " + std::to_string(strBody.size()) +
        "\r\nConnection: close\r\n\r\n" + strBody;
    PostOnce(nPort, strPost);  // the store and the workers have run once
    const auto [nThreadsBefore, nRssBefore] = ThreadsAndRss(nPid);

    // The slow clients: one byte of a never-ending header each second, on one thread.
    std::vector<int> vecSlow;
    for (int i = 0; i < nSlow; ++i) vecSlow.push_back(Connect(nPort));
    std::atomic<int> nOpen{nSlow};
    const Clock::time_point tSlowStart = Clock::now();
    std::thread trickler([&] {
        const std::string strHead = "POST /feedback HTTP/1.1\r\nX-Slow: ";
        size_t nByte = 0;
        std::vector<bool> vecDone(vecSlow.size(), false);
        while (nOpen.load() > 0) {
            for (size_t i = 0; i < vecSlow.size(); ++i) {
                if (vecDone[i]) continue;
                const char ch = nByte < strHead.size() ? strHead[nByte] : 'x';
                pollfd pfd{vecSlow[i], POLLIN, 0};
                // A closed or answered connection has been dropped by the receiver.
                if (::poll(&pfd, 1, 0) > 0 || ::send(vecSlow[i], &ch, 1, MSG_NOSIGNAL) != 1) {
                    vecDone[i] = true;
                    ::close(vecSlow[i]);
                    nOpen.fetch_sub(1);
                }
            }
            ++nByte;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto [nThreadsDuring, nRssDuring] = ThreadsAndRss(nPid);
    std::vector<double> vecMs;
    int nAnswered = 0;
    for (int i = 0; i < nPosts; ++i) {
        const Clock::time_point t0 = Clock::now();
        const std::string strReply = PostOnce(nPort, strPost);
        vecMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (strReply.rfind("HTTP/1.1 200 OK", 0) == 0) ++nAnswered;
        std::printf("post %2d: %8.2f ms %s (slow clients still open: %d)\n", i + 1, vecMs.back(),
                    strReply.substr(0, strReply.find("\r\n")).c_str(), nOpen.load());
    }
    trickler.join();
    const double dDropS = std::chrono::duration<double>(Clock::now() - tSlowStart).count();
    const auto [nThreadsAfter, nRssAfter] = ThreadsAndRss(nPid);

    std::sort(vecMs.begin(), vecMs.end());
    const double dMax = vecMs.empty() ? 0 : vecMs.back();
    std::printf(
        "\n%d slow clients, %d posts: answered %d, latency min %.2f ms, median %.2f ms, "
        "max %.2f ms\n",
        nSlow, nPosts, nAnswered, vecMs.empty() ? 0 : vecMs.front(),
        vecMs.empty() ? 0 : vecMs[vecMs.size() / 2], dMax);
    std::printf("slow clients all dropped after %.1f s (request deadline %d ms)\n", dDropS,
                nRequestTimeout);
    std::printf("receiver threads: before %d, during %d, after %d\n", nThreadsBefore,
                nThreadsDuring, nThreadsAfter);
    std::printf("receiver resident kB: before %ld, during %ld, after %ld\n", nRssBefore, nRssDuring,
                nRssAfter);
    const bool bPass = nAnswered == nPosts && dMax < 2000.0 && nThreadsAfter == nThreadsBefore &&
                       nRssAfter <= nRssBefore + 2048;
    std::printf("%s\n", bPass ? "PASS" : "FAIL");

    ::kill(nPid, SIGTERM);
    ::pclose(pOut);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return bPass ? 0 : 1;
}
