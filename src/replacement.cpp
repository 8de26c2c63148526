#include "replacement.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "access.hpp"
#include "path_walk.hpp"
#include "trust.hpp"

namespace {

constexpr int max_tries = 100;
constexpr std::size_t writeback_every = 1 << 20;

// A short name, so that any target name that fits the folder fits beside it. Random, so that no
// one can foresee it: from the kernel, or, where it has none to give, the clock.
void pick_name(char (&name)[sizeof replacement::name]) {
    static constexpr std::string_view digits =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
        bits =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    std::strcpy(name, ".tmpXXXXXX");
    for (std::size_t i = 4; i < 10; ++i) {
        name[i] = digits[bits % digits.size()];
        bits /= digits.size();
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
    return err == 0 ? arm(f.cleanup, f.dir, f.name) : err;
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

// The new file, where there is a previous one with no permission bits at all until it has the
// previous one's access, so that no one, whatever the folder's default ACL, may open it meanwhile.
int make_file(replacement& f, temp_file how, const old_file& old) {
    const mode_t mode = old.st.stx_mode != 0 ? 0 : 0666;
    int err = how == temp_file::unnamed ? make_unnamed(f, mode) : EOPNOTSUPP;
    // File systems and kernels without unnamed files say so in one of these ways.
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        err = make_named(f, mode);
    }
    return err != 0 || old.st.stx_mode == 0 ? err : give_access(f.fd, old);
}

// Removes the new file, restores the signal handlers and lets go of everything; gives back err.
// A name that cannot be removed stays, as the leftover.
int drop(replacement& f, int err) {
    {
        const held_signals held;
        if (f.name[0] != '\0' && (unlinkat(f.dir, f.name, 0) == 0 || errno == ENOENT)) {
            f.name[0] = '\0';
        }
        disarm(f.cleanup);
    }
    for (int* fd : {&f.fd, &f.dir, &f.proc}) {
        if (*fd >= 0) {
            close(std::exchange(*fd, -1));
        }
    }
    return err;
}

// Names the unnamed file: by its descriptor where the kernel lets us, else through /proc.
int give_name(replacement& f) {
    char self[16];
    std::snprintf(self, sizeof self, "%d", f.fd);
    return name_anew(f, [&] {
        if (linkat(f.fd, "", f.dir, f.name, AT_EMPTY_PATH) == 0) {
            return 0;
        }
        if (errno != ENOENT) {
            return errno;
        }
        return linkat(f.proc, self, f.dir, f.name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
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

// Whether the path still leads to the folder and name the run holds: since the start, the folder
// may have been moved or mounted over, or a link on the way aimed elsewhere or away. An error that
// says nothing of where the path leads is told as itself.
int check_path(const replacement& f) try {
    walked now;
    int err = walk_path(f.path.c_str(), now);
    struct stat ours {};
    struct stat found {};
    if (err == 0 && (fstat(f.dir, &ours) != 0 || fstat(now.dir, &found) != 0)) {
        err = errno;
    }
    if (now.dir >= 0) {
        close(now.dir);
    }
    const bool elsewhere = err == 0 && (ours.st_dev != found.st_dev ||
                                        ours.st_ino != found.st_ino || now.name != f.target);
    const bool away = err == ENOENT || err == ENOTDIR || err == ELOOP || err == EISDIR;
    return elsewhere || away ? path_moved : err;
} catch (const std::bad_alloc&) {
    return ENOMEM;  // here, with the signals still held
}

// Writes out the buffer. Once a megabyte or so is written, asks the kernel to start writing it
// back without waiting, so that the disk works while the counting goes on, and the final sync,
// which alone makes the file durable, waits for less. A hint: where it fails, the sync tells.
int write_out(replacement& f) {
    const int err = write_all(f.fd, {f.buffer.get(), f.used});
    f.unstarted += f.used;
    f.used = 0;
    if (err == 0 && f.unstarted >= writeback_every) {
        sync_file_range(f.fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // all that is written and not yet
        f.unstarted = 0;
    }
    return err;
}

}  // namespace

int start_replacement(replacement& f, const char* path, temp_file how) try {
    f = {};
    f.buffer = std::make_unique_for_overwrite<char[]>(buffer_size);
    f.path = path;
    walked to;
    if (const int err = walk_path(path, to); err != 0) {
        return err;
    }
    f.dir = to.dir;
    f.target = std::move(to.name);
    old_file old;
    int err = check_target(f.dir, f.target.c_str(), old);
    if (err == 0) {
        err = make_file(f, how, old);
    }
    return err == 0 ? 0 : drop(f, err);
} catch (const std::bad_alloc&) {
    return drop(f, ENOMEM);
}

char* space_in_replacement(replacement& f, std::size_t size) {
    if (f.err == 0 && f.used + size > buffer_size) {
        f.err = write_out(f);
    }
    return f.err == 0 ? f.buffer.get() + f.used : nullptr;
}

void append_to_replacement(replacement& f, const char* end) {
    f.used = static_cast<std::size_t>(end - f.buffer.get());
}

int commit_replacement(replacement& f) {
    int err = f.err != 0 ? f.err : write_all(f.fd, {f.buffer.get(), f.used});
    if (err == 0 && fsync(f.fd) != 0) {
        err = errno;
    }
    if (err != 0) {
        return drop(f, err);
    }
    const held_signals held;
    err = f.name[0] == '\0' ? give_name(f) : 0;
    if (err == 0) {
        err = check_name(f);
    }
    if (err == 0) {
        err = check_path(f);
    }
    if (err == 0 && close(std::exchange(f.fd, -1)) != 0) {
        err = errno;
    }
    if (err == 0 && renameat(f.dir, f.name, f.dir, f.target.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        return drop(f, err);
    }
    f.name[0] = '\0';  // it is the target's name now
    // The rename is on disk only once its folder is.
    return drop(f, fsync(f.dir) != 0 ? errno : 0);
}

const char* leftover(const replacement& f) {
    return f.dir < 0 && f.name[0] != '\0' ? f.name : nullptr;
}

files_held in_use(const replacement& f) { return {f.dir, f.fd, f.name}; }
