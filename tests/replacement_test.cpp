#include "replacement.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "support.hpp"

namespace fs = std::filesystem;
using enum temp_file;
using R = replacement;

// Every new file's name foreseen, as by another user of the folder who guessed it.
extern "C" ssize_t getrandom(void* buffer, std::size_t size, unsigned) {
    std::memset(buffer, 0, size);
    return static_cast<ssize_t>(size);
}

// Where a case asks for them: writes broken off by a signal, and a signal sent as the new table is
// renamed.
namespace {
int interrupted_writes = 0;
bool signal_at_rename = false;
}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, std::size_t size) {
    if (fd > 2 && interrupted_writes > 0) {
        --interrupted_writes;
        errno = EINTR;
        return -1;
    }
    return syscall(SYS_write, fd, buffer, size);
}

extern "C" int renameat(int from, const char* name, int to, const char* new_name) {
    if (signal_at_rename) {
        raise(SIGTERM);
    }
    return static_cast<int>(syscall(SYS_renameat, from, name, to, new_name));
}

namespace {

fs::path dir;
R f;

// clang-format off
// A folder under /tmp, which other users can reach, with a file or a link for each case: its path,
// what it is (a folder "/", a file "", or a link to), its owner where root runs the tests, and its
// mode. Root's other user owns the folder, so that root's read-only file there is only theirs to
// replace. Each link is too long, three together, for a path; `..` is taken from where a link led.
const std::tuple<const char*, const char*, uid_t, mode_t> tree[] = {
    {"folder", "/", 0, 0}, {"m", "/", 0, 0}, {"sub/deeper", "/", 0, 0}, {"txt.txt", "", 0, 0},
    {"ro", "", 0, 0444}, {"other", "", 0, 0666}, {"mounted", "", 0, 0}, {"sub/kept", "", 4242, 04751},
    {"loop", "loop", 0, 0}, {"l1", "l2", 0, 0}, {"l2", "l3", 0, 0}, {"l3", "up/../kept", 0, 0},
    {"up", "sub/deeper", 0, 0}, {"dangling", "sub/made", 0, 0}, {".", "/", 4242, 0711},
    {"s1", "/", 0, 01777}, {"s1/txt.txt", "", 4242, 0666}, {"s1/link", "..", 4242, 0},
    {"s2", "/", 4242, 01777}, {"s2/txt.txt", "", 4242, 0666}, {"s3", "/", 4242, 01770}, {"s3/txt.txt", "", 0, 0666},
};
// clang-format on

void prepare() {
    std::string name = fs::temp_directory_path() / "replacement.XXXXXX";
    dir = mkdtemp(name.data());
    for (const auto& [path, what, owner, mode] : tree) {
        const fs::path entry = dir / path;
        if (what == std::string("/")) fs::create_directories(entry);
        if (*what == '\0') std::ofstream(entry) << "old table";
        if (what != std::string("/") && *what != '\0')
            fs::create_symlink("." + std::string(1800, '/') + what, entry);
        // The owner first, as it clears setuid.
        ASSERT_EQ((geteuid() == 0 ? lchown(entry.c_str(), owner, owner) : 0) |
                      (mode ? chmod(entry.c_str(), mode) : 0),
                  0);
    }
}

// What the path holds, once it is checked that no new file was left in the folder.
std::string left(const fs::path& path) {
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        EXPECT_FALSE(fs::is_regular_file(entry.symlink_status()) &&
                     entry.path().filename().string()[0] == '.')
            << entry.path();
    return slurp(path);
}

struct row {
    const char* path;
    int want = 0;  // the reason the run fails with, or 128 + the signal that ends it
    std::function<bool()> before = [] { return true; };  // false where it cannot be done here
    std::function<void(R&)> after = nullptr;  // once the new file is made; none: refused at once
    temp_file how = unnamed;
    bool renamed = false;  // though it failed
};

const auto yes = [] { return true; };
const auto mine = +[](int) {};
const auto under = [](const char* path) { return (dir / path).string(); };
const auto as_root = [] { return geteuid() == 0; };
const auto fail = [](int call, int err, int R::*on) {
    return [=](R& r) { inject(call, err, {0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(r.*on), 0}); };
};
const auto die = [](int sig) {
    return [=](R& r) { append_to_replacement(r, std::string(1 << 17, 'x')), raise(sig); };
};
const auto hide_proc = [] { return mount("proc", "/proc", "tmpfs", 0, nullptr) == 0; };
const auto by_proc = [] { inject(SCMP_SYS(linkat), ENOENT, {4, SCMP_CMP_EQ, AT_EMPTY_PATH, 0}); };
const auto theirs = [](const fs::path& name) {
    fs::create_symlink(dir / "ro", name.string() + "~"), fs::rename(name.string() + "~", name);
};

// clang-format off
const row rows[] = {
    {"l1"},
    {"dangling", 0, yes, nullptr, named},
    {"loop", ELOOP},
    {"folder", not_regular},
    {"ro", EACCES, [] { return geteuid() != 0 || become(4242); }},
    {"m/link", ELOOP, [] { return own_mounts() && !mount("m", under("m").c_str(), "tmpfs", MS_NOSYMFOLLOW, 0) && !symlink("x", under("m/link").c_str()); }},
    {"mounted", EBUSY, [] { return own_mounts() && !mount(under("other").c_str(), under("mounted").c_str(), 0, MS_BIND, 0); }},
    // The disk fails, with the reasons it gives; a write that makes no progress never will.
    {"txt.txt", ENOSPC, yes, fail(SCMP_SYS(write), 0, &R::fd)},
    {"txt.txt", ENOSPC, yes, fail(SCMP_SYS(write), ENOSPC, &R::fd), named},
    {"txt.txt", EIO, yes, fail(SCMP_SYS(fsync), EIO, &R::fd)},
    {"txt.txt", EIO, yes, fail(SCMP_SYS(linkat), EIO, &R::fd)},
    {"txt.txt", EXDEV, yes, fail(SCMP_SYS(renameat), EXDEV, &R::dir), named},
    {"txt.txt", EIO, yes, fail(SCMP_SYS(fsync), EIO, &R::dir), named, true},
    {"txt.txt", 0, [] { return inject(SCMP_SYS(openat), EOPNOTSUPP, {2, SCMP_CMP_MASKED_EQ, O_TMPFILE, O_TMPFILE}), true; }},
    // A signal ends the run as any other; one that comes while the new table is being renamed
    // waits until the table is in place; a write it broke off is made again.
    {"txt.txt", 128 + SIGHUP, yes, die(SIGHUP), named},
    {"txt.txt", 128 + SIGTERM, yes, die(SIGTERM), named},
    {"txt.txt", 128 + SIGSEGV, yes, die(SIGSEGV), named},
    {"txt.txt", 128 + SIGTERM, yes, [](R&) { signal_at_rename = true; }, unnamed, true},
    {"txt.txt", 0, yes, [](R&) { interrupted_writes = 1; }},
    // Named through /proc, forged to name another file, or gone in the middle of the run.
    {"txt.txt", name_taken, [] { return own_mounts() && hide_proc() && fs::create_directories("/proc/self/fd"); },
     [](R& r) { by_proc(), theirs("/proc/self/fd/" + std::to_string(r.fd)); }},
    {"txt.txt", 0, own_mounts, [](R&) { by_proc(), hide_proc(); }},
    // Another user of the folder puts a link to a file of theirs where the new file stands, or,
    // foreseeing its name, there first.
    {"txt.txt", name_taken, yes, [](R& r) { theirs(dir / r.name); }, named},
    {"txt.txt", EEXIST, [] { return theirs(dir / ".tmp000000"), true; }, nullptr, named},
};

// Where another user may have set things up, as only root can here.
const row as_root_rows[] = {
    {"other", EPERM, [] { return !std::system(("chattr +a " + (dir / "other").string() + " 2>/dev/null").c_str()); }},
    // In sticky folders: root's, where another user planted a file or a link, and the other user's,
    // where root may replace the file only with CAP_FOWNER over it, which it lacks where only its
    // own id maps, and where the other user may replace root's.
    {"s1/txt.txt", EACCES},
    {"s1/link/txt.txt", EACCES},
    {"s2/txt.txt", EPERM, [] { return !unshare(CLONE_NEWUSER) && (std::ofstream("/proc/self/uid_map") << "0 0 1"); }},
    {"s2/txt.txt", 0},
    {"s3/txt.txt", 0, [] { return become(4242); }},  // by the owner of a folder only some may write
};
// clang-format on

// Runs each case in a child of its own; gives the number that could not be run here.
int run(std::span<const row> cases) {
    int skipped = 0;
    for (const row& r : cases) {
        const auto once = [&] {
            umask(077), alarm(10);  // as a write may be retried forever
            for (const int sig : {SIGHUP, SIGTERM, SIGSEGV}) signal(sig, SIG_DFL);
            signal(SIGUSR1, mine), signal(SIGUSR2, SIG_IGN);
            if (!r.before()) _exit(77);
            int err = start_replacement(f, (dir / r.path).c_str(), r.how);
            if (err == 0 && !r.after && r.want != 0) _exit(250);  // not refused at once
            if (err == 0 && r.after) r.after(f);
            // An ignored signal stays ignored; the handlers are as they were once it ends.
            if (err == 0 && signal(SIGUSR2, SIG_IGN) != SIG_IGN) _exit(252);
            if (err == 0) append_to_replacement(f, "new table"), err = commit_replacement(f);
            if (err == 0 && signal(SIGUSR1, SIG_DFL) != mine) _exit(253);
            _exit(err);
        };
        const int status = ending(spawn(once));
        skipped += status == 77;
        EXPECT_TRUE(status == 77 || status == (r.want & 0xff))
            << r.path << " ended " << status << ", not " << r.want;
        std::error_code no_file;
        if (fs::is_regular_file(fs::status(dir / r.path, no_file))) {
            EXPECT_EQ(left(dir / r.path),
                      (r.want == 0 && status != 77) || r.renamed ? "new table" : "old table")
                << r.path;
        }
        std::ofstream(dir / r.path) << "old table";
    }
    return skipped;
}

TEST(Replacement, KeepsItsPromisesOrFailsForTheKernelsReason) {
    prepare();
    const int skipped = run(rows);
    struct stat st {};
    EXPECT_TRUE(stat((dir / "sub/kept").c_str(), &st) == 0 && (st.st_mode & 07777) == 0751 &&
                (!as_root() || st.st_gid == 4242));
    fs::remove_all(dir);
    if (skipped != 0) GTEST_SKIP() << skipped << " cases need a user namespace";
}

TEST(Replacement, RefusesWhatAnotherUserMayHaveSetUp) {
    if (!as_root()) GTEST_SKIP() << "needs root, to give files to other users";
    prepare();
    const int skipped = run(as_root_rows);
    std::system(("chattr -a " + (dir / "other").string() + " 2>/dev/null").c_str());
    fs::remove_all(dir);
    if (skipped != 0) GTEST_SKIP() << "no append-only files here, or no user namespace";
}

TEST(Message, EscapesWhatWouldBreakTheLine) {
    EXPECT_EQ(quoted("/a\nb\\c\x1b[31m\t\x7f é"), "/a\\nb\\\\c\\033[31m\\t\\177 é");
}

}  // namespace
