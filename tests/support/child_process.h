// Child processes for the tests and benchmarks that run the real programs (POSIX only).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kttest {

// Starts vecArgs (the first one a path) with vecEnv's "NAME=value" entries added to this process's
// environment; stdout and stderr on fdOut and fdErr (/dev/null for -1), fdExtra as descriptor 3
// when it is one, in a process group of its own when asked (so that a signal reaches what it
// starts too). The pid, or -1.
inline pid_t StartChild(const std::vector<std::string>& vecArgs,
                        const std::vector<std::string>& vecEnv, int fdOut = -1, int fdErr = -1,
                        int fdExtra = -1, bool bOwnGroup = false) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (bOwnGroup) ::setpgid(0, 0);
    for (const std::string& str : vecEnv) ::putenv(::strdup(str.c_str()));
    const int fdNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(fdOut >= 0 ? fdOut : fdNull, 1);
    ::dup2(fdErr >= 0 ? fdErr : fdNull, 2);
    if (fdExtra >= 0) ::dup2(fdExtra, 3);
    std::vector<char*> argv;
    for (const std::string& str : vecArgs) argv.push_back(::strdup(str.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

}  // namespace kttest
