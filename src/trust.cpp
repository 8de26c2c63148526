#include "trust.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "messages.hpp"

namespace {

// The id that stands for any the user namespace does not map, of users or of groups: 65534
// unless the kernel is set otherwise, or where it cannot be asked.
unsigned overflow(const char* path) {
    unsigned id = 65534;
    if (std::FILE* const in = std::fopen(path, "re"); in != nullptr) {
        if (std::fscanf(in, "%u", &id) != 1) {
            id = 65534;
        }
        std::fclose(in);
    }
    return id;
}

bool ours(unsigned id) { return id == geteuid() || id == 0; }

// Whether the kernel grants the user CAP_FOWNER over the file: the capability in effect, where the
// file's owner and group have ids.
bool may_own(const struct statx& file) {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &head, caps) == 0 && (caps[0].effective & (1U << CAP_FOWNER)) != 0 &&
           owner(file) != nobody && group(file) != nobody;
}

// Whether the rename over the file would be let through: in a sticky folder, only by the owner of
// the file or of the folder, or with CAP_FOWNER over the file.
bool may_replace(const struct statx& folder, const struct statx& file) {
    return (folder.stx_mode & S_ISVTX) == 0 || owner(file) == geteuid() ||
           owner(folder) == geteuid() || may_own(file);
}

// EPERM where the file or folder open as fd is append-only, as its file system tells (FUSE's
// tells nothing).
int append_only(int fd) {
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0 ? EPERM : 0;
}

// The file called name in dir, opened to look at, not to change: for reading, or where the user
// may only write it, for writing; without waiting for a writer or taking a terminal.
int open_to_look(int dir, const char* name) {
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = openat(dir, name, O_RDONLY | flags);
    if (fd < 0 && errno == EACCES) {
        fd = openat(dir, name, O_WRONLY | flags);
    }
    return fd;
}

}  // namespace

old_file::~old_file() {
    if (fd >= 0) {
        close(fd);
    }
}

unsigned owner(const struct statx& file) {
    return file.stx_uid == overflow("/proc/sys/kernel/overflowuid") ? nobody : file.stx_uid;
}
unsigned group(const struct statx& file) {
    return file.stx_gid == overflow("/proc/sys/kernel/overflowgid") ? nobody : file.stx_gid;
}
bool same(unsigned id, unsigned other) { return id == other && id != nobody; }

bool placed_safely(const struct statx& folder, const struct statx& entry) {
    const bool others_write = (folder.stx_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky = (folder.stx_mode & S_ISVTX) != 0;
    return ours(owner(folder)) && (!others_write || (sticky && ours(owner(entry))));
}

int may(int fd, int what) {
    return faccessat(fd, "", what, AT_EACCESS | AT_EMPTY_PATH) == 0 ? 0 : errno;
}

int check_target(int dir, const char* name, old_file& old) {
    struct statx folder {};
    if (statx(dir, "", AT_EMPTY_PATH, owner_fields, &folder) != 0) {
        return errno;
    }
    // No name can be taken out of an append-only folder: neither the target's nor the new file's.
    if (const int err = append_only(dir); err != 0) {
        return err;
    }
    // Only a file is opened, as opening a FIFO or a device may act on it.
    struct statx named {};
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &named) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISREG(named.stx_mode)) {
        return not_regular;
    }
    old.fd = open_to_look(dir, name);
    if (old.fd < 0 || statx(old.fd, "", AT_EMPTY_PATH, owner_fields, &old.st) != 0) {
        return errno;
    }
    // All that is known of the old table is of the file opened, whatever stands at its name now.
    if (!S_ISREG(old.st.stx_mode)) {
        return not_regular;
    }
    if ((folder.stx_mode & S_ISVTX) != 0 && !placed_safely(folder, old.st)) {
        return EACCES;
    }
    // A file we may not write stays as it is, as opening it for writing would refuse.
    if (const int err = may(old.fd, W_OK); err != 0) {
        return err;
    }
    if (const int err = append_only(old.fd); err != 0) {
        return err;
    }
    if ((old.st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return EBUSY;
    }
    return may_replace(folder, old.st) ? 0 : EPERM;
}
