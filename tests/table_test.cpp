#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "support.hpp"
#include "table_path.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path table = table_path, dir = table.parent_path(), out = dir.parent_path() / "table.out";
const std::string cannot = "triple_table: cannot ", missing = ": No such file or directory\n";
const rlimit small{1 << 20, 1 << 20};

// Starts the program beside this one, made ready by setup, with an argument it must ignore and
// all it prints kept.
template <class Setup>
pid_t start(Setup setup) {
    return spawn([&] {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1), dup2(1, 2), setup();
        const auto program =
            fs::canonical("/proc/self/exe").parent_path() / "triple_table_under_test";
        execl(program.c_str(), program.c_str(), "--help", nullptr);
    });
}

// How a run ended, what it printed, and what it left: the table and the number of other files in
// its folder, or -1 without the folder.
std::tuple<int, std::string, std::string, long> run(pid_t pid) {
    const int status = ending(pid);
    const long files = fs::exists(dir) ? std::distance(fs::directory_iterator(dir), {}) - 1 : -1;
    return {status, slurp(out), slurp(table), files};
}

TEST(Table, RefusesOrWritesTheWholeTableButNeverPartOfIt) {
    fs::remove_all(dir);
    EXPECT_EQ(run(start([] {})),
              std::tuple(1, cannot + "create " + table.string() + missing, "", -1));
    fs::create_directory(dir);
    const std::string old(10'000'000, '9'), failed = cannot + "write " + table.string() + ": ";
    std::ofstream(table) << old;
    // Past a size limit a write fails, rather than kills, and the run says so.
    const auto limited = [] { setrlimit(RLIMIT_FSIZE, &small); };
    EXPECT_TRUE(run(start(limited)) == std::tuple(1, failed + "File too large\n", old, 0));
    // Struck once the new table is under way. Where the file system makes no unnamed file, the
    // named one written instead may be left.
    const int probe = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    for (const bool unnamed : {close(probe) == 0, false}) {
        const pid_t pid = start([&] {
            if (!unnamed)
                inject(SCMP_SYS(openat), EOPNOTSUPP, {2, SCMP_CMP_MASKED_EQ, O_TMPFILE, O_TMPFILE});
        });
        const std::string io = "/proc/" + std::to_string(pid) + "/io";
        for (int i = 0; i < 1000 && slurp(io).find("wchar: 0\n") != std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(pid, SIGKILL);
        const auto [status, said, kept, files] = run(pid);
        EXPECT_TRUE(status == 128 + SIGKILL && said.empty() && kept == old && files <= !unnamed);
        for (const auto& entry : fs::directory_iterator(dir)) {
            EXPECT_TRUE(entry == table || entry.path().filename().string().starts_with(".tmp"));
            if (entry != table) fs::remove(entry);
        }
    }
    // With a standard stream closed and no /dev/null to put in its place, it says so.
    const auto no_null = run(start([] {
        if (!own_mounts() || mount("dev", "/dev", "tmpfs", 0, nullptr) != 0) _exit(77);
        close(0);
    }));
    EXPECT_TRUE(std::get<0>(no_null) == 77 ||
                no_null == std::tuple(1, cannot + "open /dev/null" + missing, old, 0));
    // The table's size, head and tail, as the README gives them.
    const auto [status, said, made, files] = run(start([] {}));
    EXPECT_TRUE(status == 0 && said.empty() && files == 0 && made.size() == 9'263'059);
    EXPECT_TRUE(made.starts_with("0, 0, 0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 5, 5, 6, 7, ") &&
                made.ends_with(" 16849929, 16850052, "));
    if (std::get<0>(no_null) == 77) GTEST_SKIP() << "no mount namespace, to take /dev/null away";
}

}  // namespace
