#include "access.hpp"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "trust.hpp"

namespace {

constexpr char acl_name[] = "system.posix_acl_access";

// The old file's access ACL, as the kernel stores it, or none. Read through a descriptor for
// reading, or, where the file may only be written, for writing (the caller knows it may): no data
// changes either way, and no /proc is needed.
int old_acl(int dir, const char* name, std::string& acl) {
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = openat(dir, name, O_RDONLY | flags);
    if (fd < 0 && errno == EACCES) {
        fd = openat(dir, name, O_WRONLY | flags);
    }
    if (fd < 0) {
        return errno;
    }
    acl.resize(XATTR_SIZE_MAX);
    const ssize_t size = fgetxattr(fd, acl_name, acl.data(), acl.size());
    const int err = size < 0 && errno != ENODATA && errno != EOPNOTSUPP ? errno : 0;
    close(fd);
    acl.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return err;
}

// What the user may do with the old file, by the kernel's own check, as permission bits.
mode_t own_access(int dir, const char* name) {
    mode_t may = 0;
    for (const auto& [check, bit] : {std::pair<int, mode_t>{R_OK, 4}, {W_OK, 2}, {X_OK, 1}}) {
        may |= faccessat(dir, name, check, AT_EACCESS) == 0 ? bit : 0;
    }
    return may;
}

// The old file's permission bits, for a new file whose owner and group are as given. Where either
// is not the old one's, those the old file let in by one class may now fall in another: each class
// then gets no more than every class its members may have come from, and the user no more than it
// had.
mode_t new_bits(int dir, const char* name, const struct statx& old, const struct stat& now) {
    const bool owner = same_user(now.st_uid, old.stx_uid);
    const mode_t user = owner ? old.stx_mode >> 6 & 7 : own_access(dir, name);
    const mode_t group = old.stx_mode >> 3 & 7;
    const mode_t other = old.stx_mode & 7;
    const mode_t kept = (same_group(now.st_gid, old.stx_gid) ? 7 : group & other) &
                        (owner ? 7 : old.stx_mode >> 6 & 7);
    return user << 6 | (group & kept) << 3 | (other & kept);
}

}  // namespace

int give_access(int fd, int dir, const char* name, const struct statx& old) {
    std::string acl;
    if (const int err = old_acl(dir, name, acl); err != 0) {
        return err;
    }
    if (!acl.empty() ? fsetxattr(fd, acl_name, acl.data(), acl.size(), 0) != 0
                     : fremovexattr(fd, acl_name) != 0 && errno != ENODATA && errno != EOPNOTSUPP) {
        return errno;
    }
    // Not as an outsider (EPERM), nor where the group has no id here (EINVAL, in a user namespace).
    if (fchown(fd, static_cast<uid_t>(-1), old.stx_gid) != 0 && errno != EPERM && errno != EINVAL) {
        return errno;
    }
    // The bits last, as the umask may have cut some.
    struct stat now {};
    return fstat(fd, &now) != 0 || fchmod(fd, new_bits(dir, name, old, now)) != 0 ? errno : 0;
}
