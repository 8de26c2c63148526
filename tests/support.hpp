#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs body in a child process without core dumps, which then ends.
template <class Body>
pid_t spawn(Body body) {
    const pid_t pid = fork();
    const rlimit none{0, 0};
    if (pid == 0) setrlimit(RLIMIT_CORE, &none), [&]() noexcept { body(); }(), _exit(0);
    EXPECT_GT(pid, 0) << "fork failed";
    return pid;
}

// How the child ended, as a shell says it: its status, or 128 + the signal that ended it.
inline int ending(pid_t pid) {
    int status = 0;
    EXPECT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid) << "no child to wait for";
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// From now on, in this process and all it runs, call fails with err (or returns 0) where its
// argument matches.
inline void inject(int call, int err, scmp_arg_cmp arg = {0, SCMP_CMP_GE, 0, 0}) {
    const scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (seccomp_rule_add_array(ctx, SCMP_ACT_ERRNO(static_cast<std::uint16_t>(err)), call, 1,
                               &arg) ||
        seccomp_load(ctx))
        _exit(251);
}

// Gives this process mounts of its own, in a user namespace of its own where it is not root; says
// whether the kernel allowed it.
inline bool own_mounts() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWNS | (uid != 0 ? CLONE_NEWUSER : 0)) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid << ' ' << uid << " 1";
    std::ofstream("/proc/self/gid_map") << gid << ' ' << gid << " 1";
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Takes on another user's ids, and theirs alone.
inline bool become(uid_t id) { return !setgroups(0, nullptr) && !setgid(id) && !setuid(id); }
