#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <string>

namespace fs = std::filesystem;

// What a run came to, as seen from outside.
struct outcome {
    std::string end;        // how it ended: what it said, and its status where not 0
    std::string table;      // what the path then holds
    std::string left = "";  // the new tables left behind
    std::string mode = "";  // where a case asks: the table's group where not the user's, its ACL
    bool operator==(const outcome&) const = default;
};

inline void PrintTo(const outcome& o, std::ostream* out) {
    *out << "{" << o.end << " | " << o.table << " | " << o.left << " | " << o.mode << "}";
}

// What the file at path holds; nothing where there is no file.
inline std::string slurp(const fs::path& path) {
    std::error_code none;
    std::ifstream in(path, std::ios::binary);
    return fs::is_regular_file(path, none) ? std::string(std::istreambuf_iterator<char>(in), {})
                                           : "";
}

// What a shell script prints, as $(...) gives it: without its last line break.
inline std::string sh(const std::string& script) {
    std::FILE* const in = popen(script.c_str(), "r");
    std::string out;
    for (int c = 0; in != nullptr && (c = std::fgetc(in)) != EOF;) {
        out += static_cast<char>(c);
    }
    if (in != nullptr) {
        pclose(in);
    }
    return out.ends_with('\n') ? out.substr(0, out.size() - 1) : out;
}

// Runs body in a child process without core dumps, which may write to the descriptor it is given.
// Gives what it wrote there and what it returned, and how it ended where not with status 0.
template <class Body>
std::string in_child(Body body) {
    FILE* const out = std::tmpfile();
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        std::string said;
        try {  // nothing may return into the test runner from here
            said = body(fileno(out));
        } catch (const std::exception& e) {
            said = std::string("threw: ") + e.what();
        }
        _exit(write(fileno(out), said.data(), said.size()) < 0 ? 99 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string said = slurp("/proc/self/fd/" + std::to_string(fileno(out)));
    std::fclose(out);
    if (WIFSIGNALED(status)) {
        return said + "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return WEXITSTATUS(status) == 0 ? said : said + "status " + std::to_string(WEXITSTATUS(status));
}

// From now on, in this process and all it runs, call fails with err (or returns 0) where its
// arguments match all of args. Null, or why that cannot be done here.
inline const char* inject(int call, int err, std::initializer_list<scmp_arg_cmp> args) {
    const scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    const auto action = SCMP_ACT_ERRNO(static_cast<std::uint16_t>(err));
    const auto count = static_cast<unsigned>(args.size());
    const bool filtered = seccomp_rule_add_array(ctx, action, call, count, args.begin()) == 0 &&
                          seccomp_load(ctx) == 0;
    seccomp_release(ctx);
    return filtered ? nullptr : "cannot filter system calls";
}

inline constexpr scmp_arg_cmp unnamed_file{2, SCMP_CMP_MASKED_EQ, O_TMPFILE, O_TMPFILE};

// Takes on another user's ids, and theirs alone; still its own to look at in /proc, which a change
// of ids takes away.
inline bool become(uid_t id) {
    return !setgroups(0, nullptr) && !setgid(id) && !setuid(id) && !prctl(PR_SET_DUMPABLE, 1);
}
