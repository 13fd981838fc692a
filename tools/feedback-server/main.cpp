// ktfeedback-server --listen 127.0.0.1:PORT --dir DIR [--max-body BYTES] [--request-timeout MS]
//                   [--connection-timeout MS]
// Prints "listening on http://HOST:PORT/" once it accepts connections (PORT 0 picks a free port,
// and the line tells which), stops cleanly on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "feedbackserver.h"

namespace {

[[noreturn]] void Usage(const char* pszWhy) {
    std::fprintf(
        stderr,
        "ktfeedback-server: %s\nusage: ktfeedback-server --listen 127.0.0.1:PORT --dir DIR "
        "[--max-body BYTES] [--request-timeout MS] [--connection-timeout MS]\n",
        pszWhy);
    std::exit(2);
}

[[noreturn]] void Help() {
    std::printf(
        "Usage: ktfeedback-server --listen HOST:PORT --dir DIR [OPTION]...\n"
        "Receive the problem reports that ktreporter posts and store each one in its own\n"
        "numbered folder under DIR (report.json and the attachment). GET / lists them.\n\n"
        "Options:\n"
        "  --listen HOST:PORT       address to listen on; port 0 picks a free one\n"
        "  --dir DIR                where reports are stored\n"
        "  --max-body BYTES         larger posts get 413 (default 67108864)\n"
        "  --request-timeout MS     time for one request and its answer (default 120000)\n"
        "  --connection-timeout MS  time a connection may stay open (default 300000)\n"
        "  -h, --help               print this help and exit\n\n"
        "The first line on stdout names the address (\"listening on http://HOST:PORT/\").\n"
        "SIGINT or SIGTERM stop the server cleanly. Texts are in KTREPORTER_CODEPAGE.\n"
        "Exit status: 0 after a clean stop, 1 when it cannot listen or serve, 2 for a\n"
        "bad command line. See ktfeedback-server(1).\n");
    std::exit(0);
}

bool ParseNumber(const char* psz, unsigned long long& n) {
    if (!psz || !*psz) return false;
    char* pEnd = nullptr;
    errno = 0;
    n = std::strtoull(psz, &pEnd, 10);
    return errno == 0 && *pEnd == '\0' && psz[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
    ktfeedback::SERVER_OPTIONS options;
    bool bListen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        const char* pszValue = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strArg == "--help" || strArg == "-h") Help();
        if (!pszValue) Usage(("missing value for " + strArg).c_str());
        ++i;
        if (strArg == "--listen") {
            const std::string strListen = pszValue;
            const size_t nColon = strListen.rfind(':');
            unsigned long long nPort = 0;
            if (nColon == std::string::npos || nColon == 0 ||
                !ParseNumber(strListen.c_str() + nColon + 1, nPort) || nPort > 65535) {
                Usage("--listen needs HOST:PORT");
            }
            options.strHost = strListen.substr(0, nColon);
            options.nPort = static_cast<int>(nPort);
            bListen = true;
        } else if (strArg == "--dir") {
            options.dir = pszValue;
        } else if (strArg == "--max-body") {
            unsigned long long n = 0;
            if (!ParseNumber(pszValue, n) || n == 0) Usage("--max-body needs a positive number");
            options.nMaxBody = static_cast<size_t>(n);
        } else if (strArg == "--request-timeout" || strArg == "--connection-timeout") {
            unsigned long long n = 0;
            if (!ParseNumber(pszValue, n) || n == 0 || n > 86400000ull) {
                Usage((strArg + " needs milliseconds from 1 to 86400000").c_str());
            }
            (strArg == "--request-timeout" ? options.requestTimeout : options.connectionTimeout) =
                std::chrono::milliseconds(n);
        } else {
            Usage(("unknown option " + strArg).c_str());
        }
    }
    if (!bListen || options.dir.empty()) Usage("--listen and --dir are required");

    // The signals are taken by one waiting thread, never by a handler: stopping the server is
    // not something a signal handler may do.
    sigset_t setSignals;
    sigemptyset(&setSignals);
    sigaddset(&setSignals, SIGINT);
    sigaddset(&setSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &setSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Hundreds of waiting clients are hundreds of descriptors: take what the system allows.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }

    ktfeedback::CFeedbackServer server(options);
    std::string strError;
    const int nPort = server.Bind(strError);
    if (nPort <= 0) {
        std::fprintf(stderr, "ktfeedback-server: %s\n", strError.c_str());
        return 1;
    }
    std::printf("listening on http://%s:%d/ storing reports in %s\n", options.strHost.c_str(),
                nPort, options.dir.c_str());
    std::fflush(stdout);

    std::thread waiter([&server, setSignals] {
        int nSignal = 0;
        sigwait(&setSignals, &nSignal);
        server.Stop();
    });
    const bool bServed = server.Serve();
    // Serve can also end on its own (a failure): wake the waiter so it can be joined.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    std::printf("stopped after %llu report(s)\n",
                static_cast<unsigned long long>(server.GetStoredCount()));
    return bServed ? 0 : 1;
}
