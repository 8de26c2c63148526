#include "access.hpp"

#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "trust.hpp"

namespace {

constexpr char acl_name[] = "system.posix_acl_access";
using entry = posix_acl_xattr_entry;  // as the kernel stores it: little-endian, as the CPUs here
using acl = std::vector<entry>;
constexpr auto undefined = static_cast<std::uint32_t>(ACL_UNDEFINED_ID);

// The old file's access ACL, or, where it has none, the one its permission bits stand for.
int old_acl(const old_file& old, acl& out) {
    std::string bytes(XATTR_SIZE_MAX, '\0');
    const ssize_t size = fgetxattr(old.fd, acl_name, bytes.data(), bytes.size());
    if (size < 0) {
        const int err = errno != ENODATA && errno != EOPNOTSUPP ? errno : 0;
        const auto bits = [&](int shift) {
            return static_cast<std::uint16_t>(old.st.stx_mode >> shift & 7);
        };
        out = {{ACL_USER_OBJ, bits(6), undefined},
               {ACL_GROUP_OBJ, bits(3), undefined},
               {ACL_OTHER, bits(0), undefined}};
        return err;
    }
    constexpr auto head = sizeof(posix_acl_xattr_header);
    out.resize(static_cast<std::size_t>(size) < head
                   ? 0
                   : (static_cast<std::size_t>(size) - head) / sizeof(entry));
    std::memcpy(out.data(), bytes.data() + head, out.size() * sizeof(entry));
    return 0;
}

// What the user may do with the old file, by the kernel's own check, as permission bits.
std::uint16_t own_access(const old_file& old) {
    int bits = 0;
    for (const auto& [what, bit] : {std::pair{R_OK, 4}, {W_OK, 2}, {X_OK, 1}}) {
        bits |= may(old.fd, what) == 0 ? bit : 0;
    }
    return static_cast<std::uint16_t>(bits);
}

// Where the new file's owner or group is not the old one's, those the old file let in by one class
// may now fall in another: each class then gets no more than the least that every class they may
// come from gave (the old owner's where the owner changes; every other, under the mask, where the
// group does), and the user no more than it had. A mask cut to nothing would make the kernel pass
// over the named entries to the others' one, so where there is a mask, a new owner cuts by every
// entry too.
void cut(acl& entries, bool owner, bool group, std::uint16_t user) {
    std::uint16_t mask = 7;
    bool masked = false;
    for (const entry& e : entries) {
        masked = masked || e.e_tag == ACL_MASK;
        mask = e.e_tag == ACL_MASK ? e.e_perm : mask;
    }
    std::uint16_t least = 7;
    for (const entry& e : entries) {
        if (e.e_tag == ACL_USER_OBJ ? !owner : !group || (!owner && masked)) {
            least &= e.e_tag == ACL_USER_OBJ || e.e_tag == ACL_OTHER ? e.e_perm : e.e_perm & mask;
        }
    }
    for (entry& e : entries) {
        e.e_perm = e.e_tag != ACL_USER_OBJ ? e.e_perm & least : owner ? e.e_perm : user;
    }
}

// All the file's access at once: the ACL sets the bits with it, and the kernel keeps one that says
// no more than the bits do as the bits alone. Where the file system has no ACLs, the bits.
int set_acl(int fd, const acl& entries) {
    const posix_acl_xattr_header head{POSIX_ACL_XATTR_VERSION};
    std::string bytes(reinterpret_cast<const char*>(&head), sizeof head);
    bytes.append(reinterpret_cast<const char*>(entries.data()), entries.size() * sizeof(entry));
    if (fsetxattr(fd, acl_name, bytes.data(), bytes.size(), 0) == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP || entries.size() != 3) {
        return errno;
    }
    const auto bits = entries[0].e_perm << 6 | entries[1].e_perm << 3 | entries[2].e_perm;
    return fchmod(fd, static_cast<mode_t>(bits)) != 0 ? errno : 0;
}

}  // namespace

int give_access(int fd, const old_file& old) {
    acl entries;
    if (const int err = old_acl(old, entries); err != 0) {
        return err;
    }
    // The group first, while the new file lets no one in: the old group's entry must never apply
    // to the group the folder gave. Not as an outsider (EPERM), nor where the group has no id here
    // (EINVAL, in a user namespace).
    if (fchown(fd, static_cast<uid_t>(-1), old.st.stx_gid) != 0 && errno != EPERM &&
        errno != EINVAL) {
        return errno;
    }
    struct statx now {};
    if (statx(fd, "", AT_EMPTY_PATH, owner_fields, &now) != 0) {
        return errno;
    }
    const bool owner_kept = same(owner(now), owner(old.st));
    cut(entries, owner_kept, same(group(now), group(old.st)), owner_kept ? 0 : own_access(old));
    return set_acl(fd, entries);
}
