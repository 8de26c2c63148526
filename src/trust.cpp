#include "trust.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "messages.hpp"

namespace {

// Where the kernel tells, of users or of groups, which id stands for one the user namespace does
// not map, and which ids it maps.
struct ids {
    const char* overflow;
    const char* map;
};
constexpr ids users{"/proc/sys/kernel/overflowuid", "/proc/self/uid_map"};
constexpr ids groups{"/proc/sys/kernel/overflowgid", "/proc/self/gid_map"};

// The first numbers a file holds; how many it could read.
int numbers(const char* path, unsigned (&got)[3]) {
    std::FILE* const in = std::fopen(path, "re");
    const int read = in != nullptr ? std::fscanf(in, "%u %u %u", &got[0], &got[1], &got[2]) : 0;
    if (in != nullptr) {
        std::fclose(in);
    }
    return read;
}

// Whether the file is seen through an idmapped mount, as /proc/self/mountinfo marks one; or
// whether that cannot be told.
bool idmapped(const struct statx& file) {
    if ((file.stx_mask & STATX_MNT_ID) == 0) {
        return true;
    }
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::uint64_t id = 0;
        std::string skip;
        std::string options;
        fields >> id >> skip >> skip >> skip >> skip >> options;
        if (id == file.stx_mnt_id) {
            return ("," + options + ",").find(",idmapped,") != std::string::npos;
        }
    }
    return true;
}

// Whether an id of the file as shown here stands for itself. The overflow id may also be one the
// namespace maps, as a container's 0-65535 does: only where it maps every id, as the first
// namespace does, and the mount maps them all as they are, is it surely the id of that number.
bool mapped(unsigned id, const ids& of, const struct statx& file) {
    unsigned overflow[3] = {65534};
    unsigned map[3] = {};
    numbers(of.overflow, overflow);
    return id != overflow[0] ||
           (numbers(of.map, map) == 3 && map[0] == 0 && map[2] == UINT32_MAX && !idmapped(file));
}

// Whether the kernel grants the user CAP_FOWNER over the file: the capability in effect, where the
// file's owner and group have ids.
bool may_own(const struct statx& file) {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &head, caps) == 0 && (caps[0].effective & (1U << CAP_FOWNER)) != 0 &&
           owner(file) != nobody && group(file) != nobody;
}

bool writable_by_others(const struct statx& folder) {
    return (folder.stx_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Where others may make and remove names, but only their own: /tmp.
bool sticky_shared(const struct statx& folder) {
    return (folder.stx_mode & S_ISVTX) != 0 && writable_by_others(folder);
}

bool mine(const struct statx& file) { return owner(file) == geteuid(); }

bool may_replace(const struct statx& folder, const struct statx& file) {
    return (folder.stx_mode & S_ISVTX) == 0 || mine(file) || mine(folder) || may_own(file);
}

// EPERM where the file called name in dir, or dir itself where name is empty, is append-only: as
// statx tells where it can, else as the file system does (not FUSE's, which tells nothing). A file
// is opened only where statx does not tell, as it is opened once more for its ACL.
int append_only(int dir, const char* name, const struct statx& st) {
    if ((st.stx_attributes_mask & STATX_ATTR_APPEND) != 0) {
        return (st.stx_attributes & STATX_ATTR_APPEND) != 0 ? EPERM : 0;
    }
    const int fd = *name != '\0' ? open_to_look(dir, name) : dir;
    if (fd < 0) {
        return errno;
    }
    int flags = 0;
    const bool append = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
    if (fd != dir) {
        close(fd);
    }
    return append ? EPERM : 0;
}

}  // namespace

unsigned owner(const struct statx& file) {
    return mapped(file.stx_uid, users, file) ? file.stx_uid : nobody;
}
unsigned group(const struct statx& file) {
    return mapped(file.stx_gid, groups, file) ? file.stx_gid : nobody;
}
bool same(unsigned id, unsigned other) { return id == other && id != nobody; }

bool trusted(const struct statx& folder, const struct statx& file) {
    return !sticky_shared(folder) || mine(file) || same(owner(file), owner(folder));
}

bool followed(const struct statx& folder, const struct statx& link) {
    const unsigned holder = owner(folder);
    if (mine(link)) {
        return true;
    }
    // Another user's folder is theirs to fill, sticky or not.
    if (holder != geteuid() && holder != 0) {
        return false;
    }
    return !writable_by_others(folder) || (sticky_shared(folder) && same(owner(link), holder));
}

int open_to_look(int dir, const char* name) {
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = openat(dir, name, O_RDONLY | flags);
    if (fd < 0 && errno == EACCES) {
        fd = openat(dir, name, O_WRONLY | flags);
    }
    return fd;
}

int check_target(int dir, const char* name, struct statx& old) {
    struct statx folder {};
    if (statx(dir, "", AT_EMPTY_PATH, owner_fields, &folder) != 0) {
        return errno;
    }
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW, owner_fields, &old) != 0) {
        old.stx_mode = 0;
        if (errno != ENOENT) {
            return errno;
        }
    }
    // No name can be taken out of an append-only folder: neither the target's nor the new file's.
    if (const int err = append_only(dir, "", folder); err != 0) {
        return err;
    }
    if (old.stx_mode == 0) {
        return 0;
    }
    if (!S_ISREG(old.stx_mode)) {
        return not_regular;
    }
    if (!trusted(folder, old)) {
        return EACCES;
    }
    // A file we may not write stays as it is, as opening it for writing would refuse.
    if (faccessat(dir, name, W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    if (const int err = append_only(dir, name, old); err != 0) {
        return err;
    }
    if ((old.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return EBUSY;
    }
    return may_replace(folder, old) ? 0 : EPERM;
}
