#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "table_path.hpp"
#include "triple_count.hpp"

namespace {

constexpr std::int32_t last = 1'000'000;
constexpr int fatal[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The unfinished table, for the signal handler to remove; it reads the name only while armed.
char scratch[PATH_MAX];
volatile std::sig_atomic_t armed = 0;

void on_fatal(int sig) {
    if (armed != 0) {
        unlink(scratch);
    }
    // Die of the same signal, so that whoever started us sees how the run ended.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

int fail(const char* what, const char* reason) {
    std::fprintf(stderr, "triple_table: %s %s: %s\n", what, table_path, reason);
    return 1;
}

// Creates the scratch file beside the target, with the fatal signals held back until the handler
// knows its name, so that no signal can leave it behind.
int create_scratch(const char* target) {
    if (std::snprintf(scratch, sizeof scratch, "%s.XXXXXX", target) >=
        static_cast<int>(sizeof scratch)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    sigset_t held;
    sigset_t old;
    sigemptyset(&held);
    for (const int sig : fatal) {
        sigaddset(&held, sig);
    }
    sigprocmask(SIG_BLOCK, &held, &old);
    struct sigaction sa {};
    sa.sa_handler = on_fatal;
    sa.sa_mask = held;
    for (const int sig : fatal) {
        struct sigaction prev {};
        // A signal ignored by whoever started us (nohup, say) stays ignored.
        if (sigaction(sig, nullptr, &prev) == 0 && prev.sa_handler != SIG_IGN) {
            sigaction(sig, &sa, nullptr);
        }
    }
    const int fd = mkstemp(scratch);
    const int err = errno;
    armed = fd >= 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return fd;
}

// Writes the whole table into the scratch file open on fd; returns 0 or the reason it failed.
int write_table(int fd, mode_t mode) {
    std::ofstream f(scratch);
    errno = 0;
    for (std::int32_t i = 0; i <= last && f; ++i) {
        f << solve(i) << ", ";
    }
    f.close();
    if (!f) {
        // The stream keeps no reason of its own; errno still holds the failed call's.
        return errno != 0 ? errno : EIO;
    }
    // On disk before the rename makes it the table, so that even a crash shows old or new.
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace

int main() {
    // Through a symlink, the file it names is the one to replace, not the link.
    char real[PATH_MAX];
    const char* target = realpath(table_path, real) != nullptr ? real : table_path;

    mode_t mode = 0;
    struct stat st {};
    if (stat(target, &st) == 0) {
        // Renaming over a folder fails only after the whole run, and over a device replaces it.
        if (!S_ISREG(st.st_mode)) {
            return fail("cannot create", "not a regular file");
        }
        // A read-only table stays as it is, as opening it for writing would refuse.
        if (access(target, W_OK) != 0) {
            return fail("cannot create", std::strerror(errno));
        }
        mode = st.st_mode & 07777;
    } else {
        // What a plain create would give.
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    const int fd = create_scratch(target);
    if (fd < 0) {
        return fail("cannot create", std::strerror(errno));
    }
    // Past a file size limit a write then fails and is reported, instead of killing us mid-file.
    std::signal(SIGXFSZ, SIG_IGN);

    int err = write_table(fd, mode);
    if (close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && rename(scratch, target) != 0) {
        err = errno;
    }
    if (err != 0) {
        unlink(scratch);
    }
    armed = 0;
    return err != 0 ? fail("cannot write", std::strerror(err)) : 0;
}
