// Shared by the reporter benchmarks: child processes with extra environment, a private Xvfb.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace ktbench {

using Clock = std::chrono::steady_clock;

inline int WaitExit(pid_t pid) {
    int nStatus = 0;
    if (::waitpid(pid, &nStatus, 0) != pid) return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

// A private Xvfb; Display() is ":N", empty when it did not start.
class CXvfb {
public:
    CXvfb(const char* pszXvfb, const std::string& strScreen) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        m_pid = kttest::StartChild(
            {pszXvfb, "-displayfd", "3", "-screen", "0", strScreen, "-nolisten", "tcp"}, {}, -1, -1,
            fds[1]);
        ::close(fds[1]);
        std::string strNumber;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') strNumber += c;
        ::close(fds[0]);
        if (!strNumber.empty()) m_strDisplay = ":" + strNumber;
    }
    ~CXvfb() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            WaitExit(m_pid);
        }
    }
    const std::string& Display() const { return m_strDisplay; }

private:
    pid_t m_pid = -1;
    std::string m_strDisplay;
};

}  // namespace ktbench
