#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support.hpp"
#include "table_path.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path table = table_path;
const fs::path dir = table.parent_path();
const fs::path out = dir.parent_path() / "table.out";
const fs::path err = dir.parent_path() / "table.err";
const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "triple_table_under_test";

// The table got another way: each product a*b*c counted once, then summed up.
std::string reference() {
    constexpr long size = 1'000'001;
    std::vector<long> count(size);
    for (long a = 1; a * (a + 1) * (a + 2) < size; ++a)
        for (long b = a + 1; a * b * (b + 1) < size; ++b)
            for (long c = b + 1; a * b * c < size; ++c)
                ++count[static_cast<std::size_t>(a * b * c)];
    std::partial_sum(count.begin(), count.end(), count.begin());
    std::string text;
    for (const long x : count) {
        text += std::to_string(x) + ", ";
    }
    return text;
}

// Starts the program beside this one, with an argument it must ignore and its output kept.
pid_t start() {
    return spawn([] {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        execl(program.c_str(), program.c_str(), "--help", nullptr);
    });
}

// How a run ended, what it printed, and what it left: the table and the number of files beside it,
// or -1 without the folder.
std::tuple<int, std::string, std::string, std::string, long> run(pid_t pid = start()) {
    const int status = ending(pid);
    const long files = fs::exists(dir) ? std::distance(fs::directory_iterator(dir), {}) - 1 : -1;
    return {status, slurp(out), slurp(err), slurp(table), files};
}

TEST(Table, RefusesOrWritesTheWholeTableButNeverPartOfIt) {
    fs::remove_all(dir);
    const std::string refusal = "triple_table: cannot create " + table.string() + ": ";
    EXPECT_EQ(run(), std::make_tuple(1, "", refusal + "No such file or directory\n", "", -1));

    fs::create_directory(dir);
    const std::string old(10'000'000, '9');
    std::ofstream(table) << old;
    const pid_t pid = start();
    ASSERT_GT(pid, 0);
    // Strike once the new table is under way.
    const std::string io = "/proc/" + std::to_string(pid) + "/io";
    for (int i = 0; i < 1000 && slurp(io).find("wchar: 0\n") != std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    EXPECT_TRUE(run(pid) == std::make_tuple(128 + SIGKILL, "", "", old, 0));

    EXPECT_TRUE(run() == std::make_tuple(0, "", "", reference(), 0));
}

}  // namespace
