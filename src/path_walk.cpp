#include "path_walk.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "trust.hpp"

namespace {

constexpr int max_links = 40;                  // as the kernel follows
constexpr unsigned long nosymfollow = 0x2000;  // ST_NOSYMFOLLOW, which glibc does not name yet

// A descriptor that closes itself.
struct handle {
    int fd = -1;
    explicit handle(int to) : fd(to) {}
    handle(handle&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    handle& operator=(handle&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~handle() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct walk {
    handle here;       // the folder the walk stands in
    std::string todo;  // what is left of the path: empty, or a slash and more
    int links = 0;
};

// The next component of the path, taken off todo.
std::string next(std::string& todo) {
    const std::size_t from = todo.find_first_not_of('/');
    const std::size_t to = todo.find('/', from);
    std::string name = from == std::string::npos ? "" : todo.substr(from, to - from);
    todo.erase(0, to);
    return name;
}

// Puts what the link holds before what is left of the path.
int read_link(walk& w, int link) {
    std::string to(PATH_MAX, '\0');  // not on the stack, which may be small
    const ssize_t size = readlinkat(link, "", to.data(), to.size());
    if (size <= 0 || static_cast<std::size_t>(size) == to.size()) {
        return size < 0 ? errno : size == 0 ? ENOENT : ENAMETOOLONG;
    }
    if (to[0] == '/') {
        w.here = handle(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (w.here.fd < 0) {
            return errno;
        }
    }
    w.todo.insert(0, to, 0, static_cast<std::size_t>(size));
    return 0;
}

// Follows the link called name in the folder the walk stands in, where that is safe.
int follow(walk& w, const handle& link, const std::string& name, const struct statx& st) {
    struct statx folder {};
    struct statfs mount {};
    if (statx(w.here.fd, "", AT_EMPTY_PATH, owner_fields, &folder) != 0 ||
        fstatfs(link.fd, &mount) != 0) {
        return errno;
    }
    if (++w.links > max_links || (static_cast<unsigned long>(mount.f_flags) & nosymfollow) != 0) {
        return ELOOP;
    }
    // The links at the root of /proc (self, thread-self) are the kernel's, whoever shows as their
    // owner, as in a user namespace that does not map root.
    const bool proc = mount.f_type == PROC_SUPER_MAGIC;
    if (!(proc && (folder.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) &&
        !placed_safely(folder, st)) {
        return EACCES;
    }
    if (!proc) {
        return read_link(w, link.fd);
    }
    handle folder_led_to(openat(w.here.fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder_led_to.fd < 0) {
        return errno;
    }
    w.here = std::move(folder_led_to);
    return 0;
}

}  // namespace

int walk_path(const char* path, walked& to) {
    handle root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) {
        return errno;
    }
    walk w{std::move(root), path};
    for (;;) {
        std::string name = next(w.todo);
        const bool last = w.todo.empty();
        if (name.empty() || (last && (name == "." || name == ".."))) {
            return EISDIR;
        }
        // `..` too, so that it is the parent of the folder the walk stands in, as for the kernel.
        handle part(openat(w.here.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct statx st {};
        if (part.fd < 0 && errno == ENOENT && last) {
            st.stx_mode = S_IFREG;  // a file not made yet
        } else if (part.fd < 0 || statx(part.fd, "", AT_EMPTY_PATH, owner_fields, &st) != 0) {
            return errno;
        }
        if (S_ISLNK(st.stx_mode)) {
            if (const int err = follow(w, part, name, st); err != 0) {
                return err;
            }
        } else if (last) {
            to.dir = openat(w.here.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (to.dir < 0) {
                return errno;
            }
            to.name = std::move(name);
            return 0;
        } else if (!S_ISDIR(st.stx_mode)) {
            return ENOTDIR;
        } else {
            w.here = std::move(part);
        }
    }
}
