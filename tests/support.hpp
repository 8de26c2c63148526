#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs body in a child process, which then ends, under one resource limit: by default, no core
// dumps. The test waits for it with ending.
template <class Body>
pid_t spawn(Body body, int resource = RLIMIT_CORE, rlim_t limit = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit to{limit, limit};
        setrlimit(resource, &to);
        body();
        _exit(0);
    }
    return pid;
}

// How the child ended, as a shell says it: its status, or 128 + the signal that ended it.
inline int ending(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
