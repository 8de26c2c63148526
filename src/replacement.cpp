#include "replacement.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "path_walk.hpp"

namespace {

constexpr int max_tries = 100;
constexpr unsigned overflow_id = 65534;  // what an id without a mapping here shows as

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

// The signals that end the process by default and can be caught.
sigset_t fatal_signals() {
    sigset_t set;
    sigfillset(&set);  // leaves out those the C library keeps to itself
    for (const int sig :
         {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU}) {
        sigdelset(&set, sig);
    }
    return set;
}

// Holds the fatal signals back while it lives, so that the handler never sees a name half made or
// already gone, and a run that the rename has begun ends only once it is on disk.
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

void arm(replacement& f) {
    struct sigaction sa {};
    sa.sa_handler = on_fatal;
    sa.sa_mask = fatal_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        // A signal ignored by whoever started us (nohup, say) stays ignored.
        if (sigismember(&sa.sa_mask, sig) == 1 && sigaction(sig, nullptr, &f.saved[sig]) == 0 &&
            f.saved[sig].sa_handler != SIG_IGN && sigaction(sig, &sa, nullptr) == 0) {
            sigaddset(&f.armed, sig);
        }
    }
}

void disarm(replacement& f) {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&f.armed, sig) == 1) {
            sigaction(sig, &f.saved[sig], nullptr);
        }
    }
    sigemptyset(&f.armed);
}

// Whether an id as shown here stands for itself: one that the user namespace does not map shows
// as the overflow id, which only the map tells from a real one.
bool mapped(unsigned id, const char* map) {
    bool found = id != overflow_id;
    std::FILE* in = found ? nullptr : std::fopen(map, "re");
    unsigned inside = 0;
    unsigned outside = 0;
    unsigned count = 0;
    while (in != nullptr && !found && std::fscanf(in, "%u %u %u", &inside, &outside, &count) == 3) {
        found = id - inside < count;
    }
    if (in != nullptr) {
        std::fclose(in);
    }
    return found;
}

// Whether the kernel grants us CAP_FOWNER over the file: the capability in effect, in a user
// namespace where the file's owner and group have ids.
bool may_own(const struct statx& file) {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &head, caps) == 0 && (caps[0].effective & (1U << CAP_FOWNER)) != 0 &&
           mapped(file.stx_uid, "/proc/self/uid_map") && mapped(file.stx_gid, "/proc/self/gid_map");
}

// In a sticky folder another user may have put the file there, and the kernel lets only some of us
// rename over it.
int check_sticky(const struct statx& folder, const struct statx& old) {
    const uid_t me = geteuid();
    if ((folder.stx_mode & S_ISVTX) == 0) {
        return 0;
    }
    // As the kernel's protected_regular refuses to open such a file, but whatever it says.
    if ((folder.stx_mode & S_IWOTH) != 0 && old.stx_uid != me && old.stx_uid != folder.stx_uid) {
        return EACCES;
    }
    return old.stx_uid == me || folder.stx_uid == me || may_own(old) ? 0 : EPERM;
}

// Refuses at once what would fail, or must not be done, only after the whole run. Leaves the
// existing file's status in old, or its mode 0 where there is none.
int check_target(const replacement& f, struct statx& old) {
    constexpr unsigned wanted = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID;
    struct statx folder {};
    if (statx(f.dir, "", AT_EMPTY_PATH, wanted, &folder) != 0) {
        return errno;
    }
    if (statx(f.dir, f.target.c_str(), AT_SYMLINK_NOFOLLOW, wanted, &old) != 0) {
        old.stx_mode = 0;
        if (errno != ENOENT) {
            return errno;
        }
    }
    // No name can be taken out of an append-only folder: neither the target's nor the new file's.
    if ((folder.stx_attributes & STATX_ATTR_APPEND) != 0) {
        return EPERM;
    }
    if (old.stx_mode == 0) {
        return 0;
    }
    if (!S_ISREG(old.stx_mode)) {
        return not_regular;
    }
    // A file we may not write stays as it is, as opening it for writing would refuse.
    if (faccessat(f.dir, f.target.c_str(), W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    if ((old.stx_attributes & STATX_ATTR_APPEND) != 0) {
        return EPERM;
    }
    if ((old.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return EBUSY;
    }
    return check_sticky(folder, old);
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
        arm(f);
    }
    return err;
}

int make_unnamed(replacement& f, mode_t mode) {
    // Held now, as /proc may be gone by commit: without it, the kernel may not let us name the
    // file at all.
    f.proc = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (f.proc < 0) {
        return EOPNOTSUPP;
    }
    f.fd = openat(f.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    return f.fd < 0 ? errno : 0;
}

// The new file, with the previous one's permission bits (but not setuid and the like) from the
// start, so that no one may read it who could not read the old; and, where we may give it, its
// group.
int make_file(replacement& f, temp_file how, const struct statx& old) {
    const mode_t mode = old.stx_mode != 0 ? old.stx_mode & 0777 : 0666;
    int err = how == temp_file::unnamed ? make_unnamed(f, mode) : EOPNOTSUPP;
    // File systems and kernels without unnamed files say so in one of these ways.
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        err = make_named(f, mode);
    }
    if (err != 0 || old.stx_mode == 0) {
        return err;
    }
    // Not as an outsider (EPERM), nor where the group has no id here (EINVAL, in a user namespace).
    if (fchown(f.fd, static_cast<uid_t>(-1), old.stx_gid) != 0 && errno != EPERM &&
        errno != EINVAL) {
        return errno;
    }
    // The bits again, as the umask may have taken some.
    return fchmod(f.fd, mode) != 0 ? errno : 0;
}

// Removes the new file, restores the signal handlers and lets go of everything; gives back err.
int drop(replacement& f, int err) {
    {
        const held_signals held;
        if (f.name[0] != '\0') {
            unlinkat(f.dir, f.name, 0);
            f.name[0] = '\0';
        }
        held_dir = -1;
        disarm(f);
    }
    for (int* fd : {&f.fd, &f.dir, &f.proc}) {
        if (*fd >= 0) {
            close(std::exchange(*fd, -1));
        }
    }
    return err;
}

int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t done = write(fd, text.data(), text.size());
        if (done < 0 && errno != EINTR) {
            return errno;
        }
        // As git's write_in_full has it: a write that makes no progress never will.
        if (done == 0) {
            return ENOSPC;
        }
        text.remove_prefix(done < 0 ? 0 : static_cast<std::size_t>(done));
    }
    return 0;
}

// Names the unnamed file: by its descriptor where the kernel lets us, else through /proc.
int give_name(replacement& f) {
    char self[16];
    std::snprintf(self, sizeof self, "%d", f.fd);
    return name_anew(f, [&] {
        if (linkat(f.fd, "", f.dir, f.name, AT_EMPTY_PATH) == 0) {
            return 0;
        }
        return errno != ENOENT                                               ? errno
               : linkat(f.proc, self, f.dir, f.name, AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                             : errno;
    });
}

// Whether the new file's name holds the file written, as a forged /proc, or another user of the
// folder, could have it hold another.
int check_name(const replacement& f) {
    struct stat named {};
    struct stat ours {};
    if (fstatat(f.dir, f.name, &named, AT_SYMLINK_NOFOLLOW) != 0 || fstat(f.fd, &ours) != 0) {
        return errno;
    }
    return named.st_dev == ours.st_dev && named.st_ino == ours.st_ino ? 0 : name_taken;
}

}  // namespace

int start_replacement(replacement& f, const char* path, temp_file how) try {
    f = {};
    walked to;
    if (const int err = walk_path(path, to); err != 0) {
        return err;
    }
    f.dir = to.dir;
    f.target = std::move(to.name);
    struct statx old {};
    int err = check_target(f, old);
    if (err == 0) {
        err = make_file(f, how, old);
    }
    return err == 0 ? 0 : drop(f, err);
} catch (const std::bad_alloc&) {
    return drop(f, ENOMEM);
}

int append_to_replacement(replacement& f, std::string_view text) {
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

int commit_replacement(replacement& f) {
    int err = f.err != 0 ? f.err : write_all(f.fd, {f.buffer, f.used});
    if (err == 0 && fsync(f.fd) != 0) {
        err = errno;
    }
    if (err != 0) {
        return drop(f, err);
    }
    const held_signals held;
    if ((f.name[0] == '\0' && (err = give_name(f)) != 0) || (err = check_name(f)) != 0) {
        return drop(f, err);
    }
    if (close(std::exchange(f.fd, -1)) != 0 ||
        renameat(f.dir, f.name, f.dir, f.target.c_str()) != 0) {
        return drop(f, errno);
    }
    f.name[0] = '\0';  // it is the target's name now
    held_dir = -1;
    // The rename is on disk only once its folder is.
    return drop(f, fsync(f.dir) != 0 ? errno : 0);
}

const char* reason(int err) {
    return err == not_regular  ? "not a regular file"
           : err == name_taken ? "the new file's name held another file"
                               : std::strerror(err);
}

std::string quoted(std::string_view text) {
    static constexpr char controls[] = "\a\b\t\n\v\f\r";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const char* named = byte != 0 ? std::strchr(controls, c) : nullptr;
        char escape[5] = {'\\', c, '\0'};
        if (named != nullptr) {
            escape[1] = "abtnvfr"[named - controls];
        } else if (byte < 0x20 || byte == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\%03o", byte);
        } else if (c != '\\') {
            escape[0] = c, escape[1] = '\0';
        }
        out += escape;
    }
    return out;
}
