#include "replacement.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int max_links = 40;  // as the kernel follows
constexpr int max_tries = 100;

// The named new file, for the signal handler; set and cleared only with the signals blocked.
volatile std::sig_atomic_t held_dir = -1;
char held_name[sizeof replacement::name];

void on_fatal(int sig) {
    if (held_dir >= 0) {
        unlinkat(held_dir, held_name, 0);
    }
    // Die of the same signal, so that whoever started us sees how the run ended.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// The signals that end the process by default and can be caught, but for SIGXFSZ, which is
// ignored instead: past a file size limit a write then fails and is reported.
sigset_t fatal_signals() {
    sigset_t set;
    sigfillset(&set);  // leaves out those the C library keeps to itself
    for (const int sig : {SIGKILL, SIGSTOP, SIGXFSZ, SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP,
                          SIGTTIN, SIGTTOU}) {
        sigdelset(&set, sig);
    }
    return set;
}

// Holds the fatal signals back while it lives, so that the handler never sees a name half made or
// already gone.
struct held_signals {
    sigset_t old;
    held_signals() {
        const sigset_t set = fatal_signals();
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~held_signals() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

void arm() {
    struct sigaction sa {};
    sa.sa_handler = on_fatal;
    sa.sa_mask = fatal_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction prev {};
        // A signal ignored by whoever started us (nohup, say) stays ignored.
        if (sigismember(&sa.sa_mask, sig) == 1 && sigaction(sig, nullptr, &prev) == 0 &&
            prev.sa_handler != SIG_IGN) {
            sigaction(sig, &sa, nullptr);
        }
    }
}

// A closed descriptor 0-2 would be the next one open returns: the new file would take the place of
// a standard stream, and whatever is written there would land in it.
int open_std_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            return errno;
        }
    }
    return 0;
}

// The folder that holds path, with its slash, so that a name can follow it.
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// Follows the links at the end of path one by one, as the kernel would, so that a link to a file
// not made yet still leads to it.
int resolve(std::string& path) {
    for (int links = 0;; ++links) {
        char to[PATH_MAX];
        const ssize_t size = readlink(path.c_str(), to, sizeof to);
        if (size < 0) {
            return errno == EINVAL || errno == ENOENT ? 0 : errno;  // not a link, or nothing there
        }
        if (links == max_links) {
            return ELOOP;
        }
        if (static_cast<std::size_t>(size) == sizeof to) {
            return ENAMETOOLONG;
        }
        const std::string folder = folder_of(path);
        struct stat link {};
        struct stat in {};
        if (lstat(path.c_str(), &link) != 0 || stat(folder.c_str(), &in) != 0) {
            return errno;
        }
        // As the kernel guards its own links: in a sticky folder that anyone may write, only a
        // link of ours or of the folder's owner is followed, or another user could aim us anywhere.
        const uid_t me = geteuid();
        if ((in.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != me &&
            link.st_uid != in.st_uid) {
            return EACCES;
        }
        // A relative link starts from the folder that holds it.
        const std::string_view target(to, static_cast<std::size_t>(size));
        path = target.front() == '/' ? std::string(target) : folder + std::string(target);
    }
}

// The name of an open file in /proc.
std::array<char, 32> proc_name(int fd) {
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "/proc/self/fd/%d", fd);
    return name;
}

// A short name, so that any target name that fits the folder fits beside it. Random, so that no
// one can foresee it: from the kernel, or, where it has none to give, the clock.
void pick_name(char (&name)[sizeof replacement::name]) {
    static constexpr char digits[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
        bits =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    std::strcpy(name, ".tmpXXXXXX");
    for (std::size_t i = 4; i < 10; ++i, bits /= sizeof digits - 1) {
        name[i] = digits[bits % (sizeof digits - 1)];
    }
}

// Gives the new file a fresh name through make, which returns 0 or the errno of its call.
template <class Make>
int name_anew(replacement& f, Make make) {
    int err = EEXIST;
    for (int tries = 0; err == EEXIST && tries < max_tries; ++tries) {
        pick_name(f.name);
        err = make();
    }
    if (err != 0) {
        f.name[0] = '\0';
    }
    return err;
}

int make_named(replacement& f, mode_t mode) {
    const held_signals held;
    const int err = name_anew(f, [&] {
        f.fd = openat(f.dir, f.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        return f.fd < 0 ? errno : 0;
    });
    if (err == 0) {
        std::strcpy(held_name, f.name);
        held_dir = f.dir;
        arm();
    }
    return err;
}

int make_unnamed(replacement& f, mode_t mode) {
    f.fd = openat(f.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (f.fd < 0) {
        return errno;
    }
    // commit names the file through /proc; without it, the file could not be named at all.
    if (access(proc_name(f.fd).data(), F_OK) != 0) {
        close(f.fd);
        f.fd = -1;
        return EOPNOTSUPP;
    }
    return 0;
}

// Removes the new file and lets go of everything; gives back err.
int drop(replacement& f, int err) {
    {
        const held_signals held;
        if (f.name[0] != '\0') {
            unlinkat(f.dir, f.name, 0);
            f.name[0] = '\0';
        }
        held_dir = -1;
    }
    if (f.fd >= 0) {
        close(f.fd);
    }
    if (f.dir >= 0) {
        close(f.dir);
    }
    f.fd = f.dir = -1;
    return err;
}

int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t done = write(fd, text.data(), text.size());
        if (done < 0 && errno != EINTR) {
            return errno;
        }
        text.remove_prefix(done < 0 ? 0 : static_cast<std::size_t>(done));
    }
    return 0;
}

int give_name(replacement& f) {
    const auto self = proc_name(f.fd);
    return name_anew(f, [&] {
        return linkat(AT_FDCWD, self.data(), f.dir, f.name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    });
}

}  // namespace

int begin(replacement& f, const char* path, temp_file how) try {
    f = {};
    if (const int err = open_std_fds(); err != 0) {
        return err;
    }
    std::string target = path;
    if (const int err = resolve(target); err != 0) {
        return err;
    }
    f.target = target.substr(target.rfind('/') + 1);
    if (f.target.empty()) {
        return EISDIR;
    }
    f.dir = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (f.dir < 0) {
        return errno;
    }

    constexpr unsigned wanted = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID;
    struct statx folder {};
    struct statx old {};
    if (statx(f.dir, "", AT_EMPTY_PATH, wanted, &folder) != 0) {
        return drop(f, errno);
    }
    const bool replacing = statx(f.dir, f.target.c_str(), AT_SYMLINK_NOFOLLOW, wanted, &old) == 0;
    if (!replacing && errno != ENOENT) {
        return drop(f, errno);
    }
    // No name can be taken out of an append-only folder: neither the target's nor the new file's.
    if ((folder.stx_attributes & STATX_ATTR_APPEND) != 0) {
        return drop(f, EPERM);
    }
    if (replacing) {
        if (!S_ISREG(old.stx_mode)) {
            return drop(f, not_regular);
        }
        // A read-only file stays as it is, as opening it for writing would refuse.
        if (faccessat(f.dir, f.target.c_str(), W_OK, AT_EACCESS) != 0) {
            return drop(f, errno);
        }
        // Nor can an append-only file be renamed over, nor one mounted on another, nor, in a
        // sticky folder, one of another user's: refuse now rather than after the whole run.
        const uid_t me = geteuid();
        if ((old.stx_attributes & STATX_ATTR_APPEND) != 0 ||
            ((folder.stx_mode & S_ISVTX) != 0 && me != 0 && me != old.stx_uid &&
             me != folder.stx_uid)) {
            return drop(f, EPERM);
        }
        if ((old.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
            return drop(f, EBUSY);
        }
    }

    std::signal(SIGXFSZ, SIG_IGN);
    // The previous file's permission bits, but not setuid and the like, from the start, so that no
    // one may read the new file who could not read the old.
    const mode_t mode = replacing ? old.stx_mode & 0777 : 0666;
    int err = how == temp_file::unnamed ? make_unnamed(f, mode) : EOPNOTSUPP;
    // File systems and kernels without unnamed files say so in one of these ways.
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        err = make_named(f, mode);
    }
    if (err != 0) {
        return drop(f, err);
    }
    // The group only where we may give it: not as an outsider, nor where it has no id here (EINVAL,
    // in a user namespace). The bits again, as the umask may have taken some.
    if (replacing && ((fchown(f.fd, static_cast<uid_t>(-1), old.stx_gid) != 0 && errno != EPERM &&
                       errno != EINVAL) ||
                      fchmod(f.fd, mode) != 0)) {
        return drop(f, errno);
    }
    return 0;
} catch (const std::bad_alloc&) {
    return drop(f, ENOMEM);
}

int append(replacement& f, std::string_view text) {
    if (f.err == 0 && f.used + text.size() > sizeof f.buffer) {
        f.err = write_all(f.fd, {f.buffer, f.used});
        f.used = 0;
    }
    if (f.err == 0 && text.size() > sizeof f.buffer) {
        f.err = write_all(f.fd, text);
    } else if (f.err == 0) {
        std::memcpy(f.buffer + f.used, text.data(), text.size());
        f.used += text.size();
    }
    return f.err;
}

int commit(replacement& f) {
    int err = f.err != 0 ? f.err : write_all(f.fd, {f.buffer, f.used});
    if (err == 0 && fsync(f.fd) != 0) {
        err = errno;
    }
    if (err != 0) {
        return drop(f, err);
    }
    {
        const held_signals held;
        if (f.name[0] == '\0' && (err = give_name(f)) != 0) {
            return drop(f, err);
        }
        if (close(std::exchange(f.fd, -1)) != 0 ||
            renameat(f.dir, f.name, f.dir, f.target.c_str()) != 0) {
            return drop(f, errno);
        }
        f.name[0] = '\0';  // it is the target's name now
        held_dir = -1;
        // The rename is on disk only once its folder is.
        err = fsync(f.dir) != 0 ? errno : 0;
    }
    return drop(f, err);
}

const char* reason(int err) {
    return err == not_regular ? "not a regular file" : std::strerror(err);
}
