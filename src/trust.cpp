#include "trust.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

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

// Whether an id as shown here stands for itself. The overflow id may also be one the namespace
// maps, as a container's 0-65535 does: only where it maps every id, as the first namespace does,
// is the overflow id surely the id of that number.
bool mapped(unsigned id, const ids& of) {
    unsigned overflow[3] = {65534};
    unsigned map[3] = {};
    numbers(of.overflow, overflow);
    return id != overflow[0] || (numbers(of.map, map) == 3 && map[0] == 0 && map[2] == UINT32_MAX);
}

// Whether the kernel grants the user CAP_FOWNER over the file: the capability in effect, in a user
// namespace where the file's owner and group have ids.
bool may_own(const struct statx& file) {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &head, caps) == 0 && (caps[0].effective & (1U << CAP_FOWNER)) != 0 &&
           mapped(file.stx_uid, users) && mapped(file.stx_gid, groups);
}

}  // namespace

bool same_user(unsigned id, unsigned other) { return id == other && mapped(id, users); }
bool same_group(unsigned id, unsigned other) { return id == other && mapped(id, groups); }

bool trusted(const struct statx& folder, const struct statx& file) {
    if ((folder.stx_mode & S_ISVTX) == 0 || (folder.stx_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return true;
    }
    return same_user(file.stx_uid, geteuid()) || same_user(file.stx_uid, folder.stx_uid);
}

namespace {

bool may_replace(const struct statx& folder, const struct statx& file) {
    if ((folder.stx_mode & S_ISVTX) == 0) {
        return true;
    }
    const uid_t me = geteuid();
    return same_user(file.stx_uid, me) || same_user(folder.stx_uid, me) || may_own(file);
}

}  // namespace

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
    if ((folder.stx_attributes & STATX_ATTR_APPEND) != 0) {
        return EPERM;
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
    if ((old.stx_attributes & STATX_ATTR_APPEND) != 0) {
        return EPERM;
    }
    if ((old.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return EBUSY;
    }
    return may_replace(folder, old) ? 0 : EPERM;
}
