// Cases that need the C library's calls taken over, which no other test may see.
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "rows.hpp"

namespace {

bool signal_at_rename = false;
const char* granted = nullptr;  // the call before which the new file let someone in already

// A call that changes who may open the new file, made only while it lets no one in: so that it
// goes from no access at all to the old table's, cut, in one step.
template <class... Args>
int watched(const char* name, long call, int fd, Args... args) {
    struct stat st {};
    granted =
        granted == nullptr && (fstat(fd, &st) != 0 || (st.st_mode & 0777) != 0) ? name : granted;
    return static_cast<int>(syscall(call, fd, args...));
}

}  // namespace

extern "C" int renameat(int from, const char* name, int to, const char* new_name) {
    // Signal 33, which the C library keeps for itself.
    if (signal_at_rename) {
        syscall(SYS_tgkill, getpid(), gettid(), 33);
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

// A setgid folder of another group than its table's, which has an ACL.
const char* setgid_folder() { return script("setfacl -m u:2:r sg/txt.txt || echo needs ACLs"); }
void no_one_let_in(const files_held&) {
    if (granted != nullptr) {
        std::fprintf(stderr, "let in before %s\n", granted);
        raise(SIGABRT);
    }
}
void signal_sent_at_rename(const files_held&) { signal_at_rename = true; }

const row rows[] = {
    {"LetsNoOneInAtAnyStepWhoCouldNotReadTheOldTable", "sg/txt.txt",
     done("user::rw- user:2:r-- group::r-- mask::r-- other::---"), setgid_folder, no_one_let_in,
     temp_file::named},
    {"ASignalAtTheRenameWaitsForIt", "txt.txt", outcome{"killed by signal 33", "new table"},
     nullptr, signal_sent_at_rename},
};

TEST_P(Rows, Case) { check(); }
INSTANTIATE_TEST_SUITE_P(Interposed, Rows, testing::ValuesIn(rows), name_of);

}  // namespace
