#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path dir = TABLE_DIR;
const fs::path table = dir / "txt.txt";
const std::string old = "0, 0, 0, 0, 0, 0, 1, ";

// The table got another way: each product a*b*c counted once, then summed up.
std::string reference() {
    constexpr std::int64_t last = 1'000'000;
    std::vector<std::int64_t> count(last + 1);
    for (std::int64_t a = 1; a * (a + 1) * (a + 2) <= last; ++a) {
        for (std::int64_t b = a + 1; a * b * (b + 1) <= last; ++b) {
            for (std::int64_t c = b + 1; a * b * c <= last; ++c) {
                ++count[static_cast<std::size_t>(a * b * c)];
            }
        }
    }
    std::string text;
    std::int64_t sum = 0;
    for (const std::int64_t x : count) {
        text += std::to_string(sum += x) + ", ";
    }
    return text;
}

struct child {
    pid_t pid;
    int out;
};

// Starts the program, with arguments it must ignore, default signal handling, its stdout and
// stderr into one pipe, and a file size limit if one is given.
child start(rlim_t file_limit = RLIM_INFINITY) {
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
            std::signal(sig, SIG_DFL);
        }
        const rlimit none{0, 0};
        const rlimit file{file_limit, file_limit};
        setrlimit(RLIMIT_CORE, &none);
        if (file_limit != RLIM_INFINITY) {
            setrlimit(RLIMIT_FSIZE, &file);
        }
        execl(PROGRAM, PROGRAM, "--help", "-o", "/dev/null", nullptr);
        _exit(127);
    }
    close(pipe_fds[1]);
    return {pid, pipe_fds[0]};
}

// Waits for the program to end; gives its status as a shell would (128 + a fatal signal) and all
// that it printed.
std::pair<int, std::string> finish(child c) {
    std::string out;
    char buf[512];
    for (ssize_t got; (got = read(c.out, buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<std::size_t>(got));
    }
    close(c.out);
    int status = -1;
    waitpid(c.pid, &status, 0);
    return {WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status), out};
}

std::string line(const std::string& what, const std::string& reason) {
    return "triple_table: " + what + " " + table.string() + ": " + reason + "\n";
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> names() {
    std::vector<std::string> found;
    std::ranges::transform(
        fs::directory_iterator(dir), std::back_inserter(found),
        [](const fs::directory_entry& entry) { return entry.path().filename(); });
    std::sort(found.begin(), found.end());
    return found;
}

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
    fs::rename(table, dir / "kept");
    std::ofstream(dir / "kept") << std::string(10'000'000, '9');
    fs::permissions(dir / "kept", fs::perms{0640});
    fs::create_symlink("kept", table);

    EXPECT_EQ(finish(start()), std::make_pair(0, std::string()));
    const std::string text = slurp(table);
    const std::string expected = reference();
    EXPECT_EQ(expected.size(), 9'263'059U);
    EXPECT_TRUE(expected.ends_with("16849929, 16850052, "));
    const auto [mine, theirs] =
        std::mismatch(text.begin(), text.end(), expected.begin(), expected.end());
    EXPECT_TRUE(text == expected) << "first difference at byte " << (mine - text.begin());
    EXPECT_TRUE(fs::is_symlink(table));
    EXPECT_EQ(static_cast<unsigned>(fs::status(table).permissions()), 0640U);
    EXPECT_EQ(names(), (std::vector<std::string>{"kept", "txt.txt"}));
}

TEST_F(Table, RefusesWhenTheTableCannotBeCreated) {
    fs::remove(table);
    fs::create_directory(table);
    EXPECT_EQ(finish(start()), std::make_pair(1, line("cannot create", "not a regular file")));
    EXPECT_TRUE(fs::is_empty(table));

    fs::remove_all(dir);
    EXPECT_EQ(finish(start()),
              std::make_pair(1, line("cannot create", "No such file or directory")));
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(Table, KeepsThePreviousTableWhenAWriteFails) {
    EXPECT_EQ(finish(start(65'536)), std::make_pair(1, line("cannot write", "File too large")));
    EXPECT_EQ(slurp(table), old);
    EXPECT_EQ(names(), std::vector<std::string>{"txt.txt"});
}

TEST_F(Table, KeepsThePreviousTableWhenASignalEndsTheRun) {
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        const child c = start();
        // Strike once the new table is under way beside the old one.
        for (int i = 0; i < 1000 && names().size() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(names().size(), 2U);
        kill(c.pid, sig);
        EXPECT_EQ(finish(c).first, 128 + sig);
        EXPECT_EQ(slurp(table), old);
        EXPECT_EQ(names(), std::vector<std::string>{"txt.txt"});
    }
}

}  // namespace
