#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path dir = TABLE_DIR;
const fs::path table = dir / "txt.txt";
const std::string old = "0, 0, 0, 0, 0, 0, 1, ";

// The table got another way: each product a*b*c counted once, then summed up.
std::string reference() {
    constexpr long size = 1'000'001;
    std::vector<long> count(size);
    for (long a = 1; a * (a + 1) * (a + 2) < size; ++a) {
        for (long b = a + 1; a * b * (b + 1) < size; ++b) {
            for (long c = b + 1; a * b * c < size; ++c) {
                ++count[static_cast<std::size_t>(a * b * c)];
            }
        }
    }
    std::string text;
    long sum = 0;
    for (const long x : count) {
        text += std::to_string(sum += x) + ", ";
    }
    return text;
}

struct run {
    FILE* out;
    int pid;
};

// Starts the program with arguments it must ignore, through a shell that prints its pid and takes
// `limit`; the program's stdout and stderr come down one pipe.
run start(const std::string& limit = "") {
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        std::signal(sig, SIG_DFL);  // the program keeps a signal ignored that it finds ignored
    }
    const std::string command =
        "echo $$; ulimit -c 0; " + limit + " exec '" PROGRAM "' --help -o x 2>&1";
    FILE* out = popen(command.c_str(), "r");
    char pid[32] = "";
    EXPECT_NE(std::fgets(pid, sizeof pid, out), nullptr);
    return {out, std::atoi(pid)};
}

// Waits for the program to end; gives its status as a shell would, 128 + the signal that ended it
// if one did, and all that it printed.
std::pair<int, std::string> finish(const run& r) {
    std::string text;
    for (int c; (c = std::fgetc(r.out)) != EOF;) {
        text += static_cast<char>(c);
    }
    const int status = pclose(r.out);
    return {WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status), text};
}

std::pair<int, std::string> failure(const std::string& what, const std::string& reason) {
    return {1, "triple_table: " + what + " " + table.string() + ": " + reason + "\n"};
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

long entries() { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }

class Table : public testing::Test {
 protected:
    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directory(dir);
        std::ofstream(table) << old;
    }
};

TEST_F(Table, ReplacesThePreviousTableSilentlyThroughALink) {
    // A longer previous table behind a link, with a mode of its own.
    fs::remove(table);
    std::ofstream(dir / "kept") << std::string(10'000'000, '9');
    fs::permissions(dir / "kept", fs::perms{0640});
    fs::create_symlink("kept", table);

    EXPECT_EQ(finish(start()), std::make_pair(0, std::string()));
    const std::string text = slurp(table);
    const std::string expected = reference();
    EXPECT_EQ(expected.size(), 9'263'059U);
    EXPECT_TRUE(expected.ends_with("16849929, 16850052, "));
    const auto diff = std::mismatch(text.begin(), text.end(), expected.begin(), expected.end());
    EXPECT_TRUE(text == expected) << "first difference at byte " << diff.first - text.begin();
    EXPECT_TRUE(fs::is_symlink(table));
    EXPECT_EQ(static_cast<unsigned>(fs::status(table).permissions()), 0640U);
    EXPECT_EQ(entries(), 2);
}

TEST_F(Table, RefusesWhenTheTableCannotBeCreated) {
    fs::remove(table);
    fs::create_directory(table);
    EXPECT_EQ(finish(start()), failure("cannot create", "not a regular file"));
    EXPECT_TRUE(fs::is_empty(table));

    fs::remove_all(dir);
    EXPECT_EQ(finish(start()), failure("cannot create", "No such file or directory"));
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(Table, KeepsThePreviousTableWhenAWriteFails) {
    EXPECT_EQ(finish(start("ulimit -f 128;")), failure("cannot write", "File too large"));
    EXPECT_EQ(slurp(table), old);
    EXPECT_EQ(entries(), 1);
}

TEST_F(Table, KeepsThePreviousTableWhenASignalEndsTheRun) {
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        const run r = start();
        // Strike once the new table is under way beside the old one.
        for (int i = 0; i < 1000 && entries() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(entries(), 2);
        kill(r.pid, sig);
        EXPECT_EQ(finish(r), std::make_pair(128 + sig, std::string()));
        EXPECT_EQ(slurp(table), old);
        EXPECT_EQ(entries(), 1);
    }
}

}  // namespace
