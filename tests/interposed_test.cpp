// Cases that need the C library's calls taken over, which no other test may see.
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "rows.hpp"

namespace {
bool signal_at_rename = false;
bool open_to_others = false;
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

// Whether anyone may open the new file as it is given the old one's access, which it gets before
// any other call that could let another user in.
extern "C" int fremovexattr(int fd, const char* name) {
    struct stat st {};
    open_to_others = fstat(fd, &st) != 0 || (st.st_mode & 0777) != 0;
    return static_cast<int>(syscall(SYS_fremovexattr, fd, name));
}

namespace {

void no_one_could_open_it(const files_held&) {
    if (open_to_others) {
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
    {"LetsNoOneOpenTheNewTableBeforeItHasTheOldAccess", "txt.txt", done(), nullptr,
     no_one_could_open_it, temp_file::named},
    {"ASignalAtTheRenameWaitsForIt", "txt.txt", ended("killed by SIGTERM", "new table"), nullptr,
     signal_sent_at_rename},
};

TEST_P(Rows, Case) { check(); }
INSTANTIATE_TEST_SUITE_P(Interposed, Rows, testing::ValuesIn(rows), name_of);

}  // namespace
