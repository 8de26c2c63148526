// Cases that need the C library's calls taken over, which no other test may see.
#include <sys/fsuid.h>
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "rows.hpp"

namespace {

bool signal_at_rename = false;
const char* let_in = nullptr;  // the call after which one who could not read the old table could
                               // open the new one

// Whether user 4243, of the folder's group and no other, could open the file now.
bool opens(int fd) {
    setfsgid(4243);
    setfsuid(4243);
    const int other = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
    setfsuid(0);
    setfsgid(0);
    return other >= 0 && close(other) == 0;
}

// A call that changes who may open the new file, then whether one more could.
template <class... Args>
int watched(const char* name, long call, int fd, Args... args) {
    const long done = syscall(call, fd, args...);
    const int err = errno;
    let_in = let_in == nullptr && opens(fd) ? name : let_in;
    errno = err;
    return static_cast<int>(done);
}

}  // namespace

// Every new file's name foreseen, as by another user of the folder who guessed it.
extern "C" ssize_t getrandom(void* buffer, std::size_t size, unsigned) {
    std::memset(buffer, 0, size);
    return static_cast<ssize_t>(size);
}

extern "C" int renameat(int from, const char* name, int to, const char* new_name) {
    if (signal_at_rename) {
        raise(SIGTERM);
    }
    return static_cast<int>(syscall(SYS_renameat, from, name, to, new_name));
}

extern "C" int fchown(int fd, uid_t user, gid_t group) {
    return watched("fchown", SYS_fchown, fd, user, group);
}
extern "C" int fchmod(int fd, mode_t mode) { return watched("fchmod", SYS_fchmod, fd, mode); }
extern "C" int fsetxattr(int fd, const char* name, const void* value, std::size_t size, int flags) {
    return watched("fsetxattr", SYS_fsetxattr, fd, name, value, size, flags);
}
namespace {

// A setgid folder of another group than its table's, which lets its own group read it; and that
// gives its new files an ACL that lets user 4243 of the folder's group read them.
const char* setgid_folder() {
    if (geteuid() != 0 || setgroups(0, nullptr) != 0) {
        return "needs root, to be another user";
    }
    return script("setfacl -m u:2:r sg/txt.txt && setfacl -dm u:4243:r sg || echo needs ACLs");
}
void no_one_let_in(const files_held&) {
    if (let_in != nullptr) {
        std::fprintf(stderr, "let in after %s\n", let_in);
        raise(SIGABRT);
    }
}
const char* name_foreseen() {
    fs::create_symlink(at("ro"), at(".tmp000000"));
    return nullptr;
}
void signal_sent_at_rename(const files_held&) { signal_at_rename = true; }

const row rows[] = {
    // Nor removes it.
    {"NeverOpensANameAnotherUserForesaw", "txt.txt", refused(EEXIST), name_foreseen, nullptr,
     temp_file::named, ".tmp000000"},
    {"LetsNoOneInAtAnyStepWhoCouldNotReadTheOldTable", "sg/txt.txt",
     done("user::rw- user:2:r-- group::r-- mask::r-- other::---"), setgid_folder, no_one_let_in,
     temp_file::named},
    {"ASignalAtTheRenameWaitsForIt", "txt.txt", ended("killed by SIGTERM", "new table"), nullptr,
     signal_sent_at_rename},
};

TEST_P(Rows, Case) { check(); }
INSTANTIATE_TEST_SUITE_P(Interposed, Rows, testing::ValuesIn(rows), name_of);

}  // namespace
