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

namespace ktbench {

using Clock = std::chrono::steady_clock;

// Starts argv with the variables added to this process's environment; stdout to fdOut when >= 0,
// else /dev/null, stderr to /dev/null. Returns the pid or -1.
inline pid_t Spawn(const std::vector<std::string>& vecArgs, const std::vector<std::string>& vecEnv,
                   int fdOut = -1, int fdExtra = -1) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    for (const std::string& str : vecEnv) ::putenv(::strdup(str.c_str()));
    const int fdNull = ::open("/dev/null", O_RDWR);
    ::dup2(fdOut >= 0 ? fdOut : fdNull, 1);
    ::dup2(fdNull, 2);
    if (fdExtra >= 0) ::dup2(fdExtra, 3);
    std::vector<char*> argv;
    for (const std::string& str : vecArgs) argv.push_back(::strdup(str.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

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
        m_pid = Spawn({pszXvfb, "-displayfd", "3", "-screen", "0", strScreen, "-nolisten", "tcp"},
                      {}, -1, fds[1]);
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
