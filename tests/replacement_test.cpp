#include "replacement.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// A folder under /tmp, which another user can reach, holding an old table; each test runs with an
// unnamed new file and with a named one.
class Replacement : public testing::TestWithParam<temp_file> {
 protected:
    void SetUp() override {
        std::string name = fs::temp_directory_path() / "replacement.XXXXXX";
        dir = mkdtemp(name.data());
        std::ofstream(table = dir / "txt.txt") << "old table";
    }
    void TearDown() override { fs::remove_all(dir); }

    int start(const fs::path& path) { return begin(f, path.c_str(), GetParam()); }
    int replace(const fs::path& path, const std::string& text) {
        const int err = start(path);
        return err != 0 ? err : (append(f, text), commit(f));
    }
    // The old table is as it was, and nothing but the files given stands beside it.
    void expect_untouched(std::set<fs::path> others = {}) const {
        EXPECT_EQ(slurp(table), "old table");
        others.insert(table);
        EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(dir), {}), others);
    }

    fs::path dir;
    fs::path table;
    replacement f;
};

INSTANTIATE_TEST_SUITE_P(Unnamed, Replacement, testing::Values(temp_file::unnamed));
INSTANTIATE_TEST_SUITE_P(Named, Replacement, testing::Values(temp_file::named));

TEST_P(Replacement, FollowsLinksAndKeepsModeAndGroup) {
    fs::rename(table, dir / "kept");
    fs::create_symlink("kept", table);
    const bool root = geteuid() == 0;
    ASSERT_TRUE(!root || chown(table.c_str(), 0, 4242) == 0);  // first, as it clears setuid
    fs::permissions(table, fs::perms{04751});
    EXPECT_EQ(replace(table, "new table"), 0);
    EXPECT_EQ(slurp(dir / "kept"), "new table");
    EXPECT_EQ(fs::status(table).permissions(), fs::perms{0751}) << "not setuid";
    struct stat st {};
    EXPECT_TRUE(stat(table.c_str(), &st) == 0 && (!root || st.st_gid == 4242));

    // A link to a file not made yet makes it, with the mode the kernel gives: the folder's default
    // ACL, rw-rw-r--, where the file system has ACLs, or else the umask.
    const std::uint32_t acl[] = {2, 0x60001, ~0U, 0x60004, ~0U, 0x40020, ~0U};
    const bool acls = setxattr(dir.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) == 0;
    fs::create_symlink(dir / "made", dir / "dangling");
    const mode_t mask = umask(077);
    EXPECT_EQ(replace(dir / "dangling", "made"), 0);
    umask(mask);
    EXPECT_EQ(fs::status(dir / "dangling").permissions(), fs::perms{acls ? 0664U : 0600U});
    EXPECT_EQ(slurp(dir / "made"), "made");
    EXPECT_TRUE(fs::is_symlink(table) && fs::is_symlink(dir / "dangling"));
}

TEST_P(Replacement, FailsForTheKernelsReasonLeavingTheFolderAsItWas) {
    fs::create_symlink("loop", dir / "loop");
    fs::create_directory(dir / "folder");
    fs::create_symlink(table, dir / "theirs");
    EXPECT_EQ(start(dir / "loop"), ELOOP);
    EXPECT_EQ(start(dir / "folder"), not_regular);
    EXPECT_EQ(start(dir / "missing/txt.txt"), ENOENT);
    // Out of descriptors, or past the file size limit in a write of append's or of commit's.
    const auto open_two = [&] { close_range(3, ~0U, 0), _exit(start(table)); };  // folder, file
    EXPECT_EQ(ending(spawn(open_two, RLIMIT_NOFILE, 4)), EMFILE);
    for (const std::size_t size : {std::size_t{1} << 17, std::size_t{100}}) {
        const auto write = [&] { _exit(replace(table, std::string(size, 'x'))); };
        EXPECT_EQ(ending(spawn(write, RLIMIT_FSIZE, 10)), EFBIG) << size << " bytes";
    }
    // In a sticky folder, another user's file may not be renamed over: known before any write.
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(dir.c_str(), 01777) | chmod(table.c_str(), 0666), 0);
        EXPECT_EQ(ending(spawn([&] { _exit(setuid(65534) == 0 ? start(table) : 255); })), EPERM);
        // Nor is a link there followed that another user may have aimed anywhere.
        ASSERT_EQ(lchown((dir / "theirs").c_str(), 65534, 65534), 0);
        EXPECT_EQ(start(dir / "theirs"), EACCES);
        // Nor in an append-only folder, where the name of neither file could be taken back.
        if (std::system(("chattr +a " + dir.string() + " 2>/dev/null").c_str()) == 0) {
            EXPECT_EQ(start(table), EPERM);
            EXPECT_EQ(std::system(("chattr -a " + dir.string()).c_str()), 0);
        }
    }
    expect_untouched({dir / "folder", dir / "loop", dir / "theirs"});
}

TEST_P(Replacement, LeavesNothingBehindWhenTheProcessDies) {
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
                          SIGXCPU, SIGVTALRM, SIGPROF, SIGABRT, SIGSEGV}) {
        const auto die = [&] {
            signal(sig, SIG_DFL);  // one ignored by whoever started the tests stays so
            // Started with the standard streams closed, as a daemon may be: the new file must not
            // take the place of one.
            close(0), close(1), close(2);
            if (start(table) == 0 && f.fd > 2 && append(f, std::string(1 << 17, 'x')) == 0) {
                raise(sig);
            }
        };
        EXPECT_EQ(ending(spawn(die)), 128 + sig) << "signal " << sig;
        expect_untouched();
    }
}

// Only a named new file has a name that another user of the folder could take over.
class Named : public Replacement {};
INSTANTIATE_TEST_SUITE_P(Named, Named, testing::Values(temp_file::named));

TEST_P(Named, WritesOnlyThroughTheFileItMade) {
    signal(SIGUSR2, SIG_IGN);  // as whoever started us may have it: it stays so
    ASSERT_EQ(start(table), 0);
    EXPECT_EQ(signal(SIGUSR2, SIG_DFL), SIG_IGN);
    // Another user of the folder puts a link to a file of theirs where the new file stands.
    const fs::path made = dir / f.name;
    const int folder = f.dir;
    std::ofstream(dir / "victim") << "victim";
    fs::create_symlink("victim", dir / "link");
    fs::rename(dir / "link", made);
    append(f, "new table");
    commit(f);
    EXPECT_EQ(slurp(dir / "victim"), "victim");
    // Once committed, a signal must not remove the name again: it may be somebody else's by now.
    std::ofstream(made) << "theirs";
    // The child opens the folder again on the descriptor number it had, where a stale handler
    // would find it.
    const auto signalled = [&] {
        const int again = open(dir.c_str(), O_RDONLY);
        raise(again == folder ? SIGTERM : SIGKILL);
    };
    EXPECT_EQ(ending(spawn(signalled)), 128 + SIGTERM);
    EXPECT_EQ(slurp(made), "theirs");
}

}  // namespace
