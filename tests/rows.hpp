#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "replacement.hpp"
#include "support.hpp"

inline outcome done(std::string mode = "") { return {"done", "new table", "", std::move(mode)}; }
inline outcome refused(int err, std::string table = "old table") {
    return ended(std::string("refused: ") + reason(err), std::move(table));
}
inline outcome failed(int err, std::string table = "old table", std::string left = "") {
    return ended(std::string("failed: ") + reason(err), std::move(table), std::move(left));
}

// A case: the path (in the scratch folder, or absolute), the outcome it must come to, what is done
// before start (it says why it cannot be done here, or null) and once the new file is made, how the
// new file is made, and where the table is to be seen, where not at the path. Where the path is
// the program's own, the program itself runs instead, in its folder made anew.
struct row {
    const char* name;
    const char* path;
    outcome want;
    const char* (*before)() = nullptr;
    void (*after)(const files_held&) = nullptr;
    temp_file how = temp_file::unnamed;
    const char* shows = nullptr;
    bool program = false;
};

inline fs::path scratch;
inline std::string at(const char* path) { return scratch / path; }

// The scratch folder, under /tmp where other users can reach it, and what is in it. Each entry:
// its path; what it is: a folder "/", a file "-" holding "old table", or a link holding the text
// given (padded, so that three together are longer than a path may be; "@" stands for the scratch
// folder); and, where root runs the tests, its owner and group, and its mode.
inline const char* const files[] = {
    "folder /",   "m /",          "sub/deeper /",        "txt.txt -",
    "ro - 0 444", "other -",      "mounted -",           "v1/txt.txt -",
    "v2 /",       "ao/txt.txt -", "acl/txt.txt - 0 640", "acl/shared - 0 640",
};
inline const char* const links[] = {
    "loop loop",         "l1 l2",        "l2 l3",  "l3 up/../kept", "up sub/deeper",
    "dangling sub/made", "abs @txt.txt", "cur v1",
};
// Other users': a folder only its owner may read, with a table only they may write; one they may
// not read; and, where root has its own id alone, a folder of one without an id here.
inline const char* const others[] = {
    ". / 4242 711",
    "sub/kept - 4242 4751",
    "wo / 4242 700",
    "wo/txt.txt - 4242 222",
    "wx / 4242 300",
    "wo/link ../txt.txt 4242",
    "wo/shut - 4242 644",
    "sg / 4243 2770",
    "sg/txt.txt - 0 640",
    "open / 70000 777",
    "open/txt.txt - 70000 646",
};
// Sticky folders: another user's, with root's link in it; one that others may only enter; one that
// its owner's group may write, with another member's link; and one whose owner, like the owner of
// a link and a table in it, has no id where root has its own alone.
inline const char* const sticky[] = {
    "s2 / 4242 1777",     "s2/txt.txt - 4242 666",  "s2/mine ../open 0",     "s3 / 4242 1755",
    "s3/txt.txt - 0 606", "s3/theirs - 70000 666",  "s5 / 4242 1770",        "s5/link ../open 4243",
    "s4 / 70001 1777",    "s4/txt.txt - 70000 666", "s4/link ../v1 70000",
};

inline void make(const char* entry) {
    std::istringstream in(entry);
    std::string name;
    std::string what;
    uid_t owner = 0;
    mode_t mode = 0;
    in >> name >> what >> owner >> std::oct >> mode;
    const fs::path path = scratch / name;
    const std::string padded = std::string(1800, '/') + what.substr(what.starts_with('@'));
    if (what == "/") {
        fs::create_directories(path);
    } else if (what == "-") {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "old table";
    } else {
        fs::create_symlink((what.starts_with('@') ? scratch.string() : ".") + padded, path);
    }
    // The owner first, as a new one clears setuid.
    ASSERT_EQ(geteuid() == 0 ? lchown(path.c_str(), owner, owner) : 0, 0) << entry;
    ASSERT_EQ(mode != 0 ? chmod(path.c_str(), mode) : 0, 0) << entry;
}

// What the file gives whom, as getfacl tells it (its group too, where it is not the user's).
inline std::string access(const fs::path& path) {
    struct stat st {};
    const bool theirs = stat(path.c_str(), &st) == 0 && st.st_gid != getegid();
    std::string out = theirs ? "group " + std::to_string(st.st_gid) : "";
    FILE* const in = popen(("getfacl -cnp '" + path.string() + "' 2>&1").c_str(), "r");
    char line[256];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        const std::string entry(line, std::strcspn(line, "\n"));
        out += entry.empty() || out.empty() ? entry : " " + entry;
    }
    pclose(in);
    return out;
}

inline void on_usr1(int) {}

// The row, in a process of its own: start, what the row does once the new file is made, the text
// and the commit. Says how it ended.
inline std::string attempt(const row& r, int out) {
    umask(077);
    std::signal(SIGUSR1, on_usr1);
    std::signal(SIGUSR2, SIG_IGN);
    // All the program says kept, unless the row sends it elsewhere.
    if (r.program && (dup2(out, 1) != 1 || dup2(out, 2) != 2)) {
        return "no output";
    }
    const char* const why = r.before != nullptr ? r.before() : nullptr;
    if (why != nullptr) {
        return std::string("skip: ") + why;
    }
    // With an argument it must ignore.
    if (r.program) {
        const auto program =
            fs::canonical("/proc/self/exe").parent_path() / "triple_table_under_test";
        execl(program.c_str(), program.c_str(), "--help", nullptr);
    }
    alarm(10);  // as a write may be retried forever
    static replacement f;
    int err = start_replacement(f, at(r.path).c_str(), r.how);
    if (err != 0) {
        return std::string("refused: ") + reason(err);
    }
    if (r.after != nullptr) {
        r.after(in_use(f));
    }
    const std::string_view text = "new table";
    append_to_replacement(f, std::ranges::copy(text, space_in_replacement(f, text.size())).out);
    // An ignored signal stays ignored; the handlers are as they were once the commit is done.
    const bool ignored = std::signal(SIGUSR2, SIG_IGN) == SIG_IGN;
    err = commit_replacement(f);
    if (!ignored || std::signal(SIGUSR1, SIG_DFL) != on_usr1) {
        return "signal handlers changed";
    }
    return err == 0 ? "done" : std::string("failed: ") + reason(err);
}

// What the row came to: what was said, with the table's path as PATH; the table, in short where
// long; the new tables left in its folder; and what it gives whom, where the row asks.
inline outcome seen(const row& r, std::string end) {
    const fs::path table = at(r.shows != nullptr ? r.shows : r.path);
    for (std::size_t from = end.find(table); from != std::string::npos; from = end.find(table)) {
        end.replace(from, table.string().size(), "PATH");
    }
    std::string made = slurp(table);
    if (made.size() > 100) {
        const std::string size = " (" + std::to_string(made.size()) + " bytes)";
        made.replace(48, made.size() - 68, "… ").append(size);
    }
    outcome got = ended(unrandom(end), made, leftovers(table.parent_path()));
    got.mode = r.want.mode.empty() ? "" : access(table);
    return got;
}

inline bool append_only(const std::string& path, bool on) {
    return std::system(
               ("chattr " + std::string(on ? "+a " : "-a ") + path + " 2>/dev/null").c_str()) == 0;
}

// Each row a test of its own, in a scratch folder of its own.
class Rows : public testing::TestWithParam<row> {
 protected:
    void SetUp() override {
        std::string name = fs::temp_directory_path() / "replacement.XXXXXX";
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        scratch = name;
        std::ranges::for_each(files, make);
        std::ranges::for_each(links, make);
        std::ranges::for_each(others, make);
        std::ranges::for_each(sticky, make);
        const fs::path table = GetParam().path;
        if (GetParam().program) {
            fs::remove_all(table.parent_path());
            fs::create_directories(table.parent_path());
            std::ofstream(table) << "old table";
        }
    }
    void TearDown() override {
        append_only(at("other"), false);
        append_only(at("ao"), false);
        fs::permissions(at("wx"), fs::perms::owner_all);
        fs::remove_all(scratch);
    }
    void check() {
        const row& r = GetParam();
        const std::string end = in_child([&](int out) { return attempt(r, out); });
        if (end.starts_with("skip: ")) {
            GTEST_SKIP() << end.substr(6);
        }
        EXPECT_EQ(seen(r, end), r.want);
    }
};

inline std::string name_of(const testing::TestParamInfo<row>& info) { return info.param.name; }
inline void PrintTo(const row& r, std::ostream* out) { *out << r.name; }
