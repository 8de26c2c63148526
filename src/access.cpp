#include "access.hpp"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

constexpr char acl_name[] = "system.posix_acl_access";

// A descriptor to read the file's attributes through: one for reading, or, where the file may not
// be read, one for its path alone, to be read through /proc.
int open_file(int dir, const char* name, bool& path_only) {
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES) {
        return fd;
    }
    path_only = true;
    return openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// The old file's access ACL, as the kernel stores it, or none.
int old_acl(int dir, const char* name, std::string& acl) {
    bool path_only = false;
    const int fd = open_file(dir, name, path_only);
    if (fd < 0) {
        return errno;
    }
    char through[32];
    std::snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
    acl.resize(XATTR_SIZE_MAX);
    const ssize_t size = path_only ? getxattr(through, acl_name, acl.data(), acl.size())
                                   : fgetxattr(fd, acl_name, acl.data(), acl.size());
    const int err = size < 0 && errno != ENODATA && errno != EOPNOTSUPP ? errno : 0;
    close(fd);
    acl.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return err;
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
    // The bits last. Where the group could not be kept, what the old one could do is given to no
    // group, not to the new file's.
    struct stat now {};
    const bool same_group = fstat(fd, &now) == 0 && now.st_gid == old.stx_gid;
    return fchmod(fd, old.stx_mode & (same_group ? 0777 : 0707)) != 0 ? errno : 0;
}
