#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <string>
#include <string_view>

#include "replacement.hpp"
#include "support.hpp"

inline outcome done(std::string mode = "") { return {"done", "new table", "", std::move(mode)}; }
inline outcome refused(int err, std::string table = "old table") {
    return outcome{std::string("refused: ") + reason(err), std::move(table)};
}
inline outcome failed(int err, std::string table = "old table", std::string left = "") {
    return outcome{std::string("failed: ") + reason(err), std::move(table), std::move(left)};
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

// The scratch folder, under /tmp where other users can reach it: folders; tables that hold "old
// table"; links, their text padded with slashes so that three together are longer than a path may
// be, and their owner where root runs the tests; and, where root runs them, files of other users,
// a sticky folder of one without an id where root has its own alone at s4, sticky folders of root's
// at rs and s5, the latter one its group may write, and a setgid folder of a group other than its
// table's.
inline constexpr const char* fixture = R"(
mkdir -p folder sub/deeper v1 v2 ao acl wo open rs s3 s4 s5 sg
for table in txt.txt wo/ro v1/txt.txt ao/txt.txt acl/txt.txt acl/shared sub/kept wo/shut \
    open/txt.txt s3/txt.txt s4/txt.txt sg/txt.txt; do printf 'old table' >$table; done
pad=$(printf %1800s '' | tr ' ' /)
link() { ln -s "$1$pad$2" $3 && { [ $(id -u) != 0 ] || chown -h ${4:-0}:${4:-0} $3; }; }
link . l2 l1; link "$PWD" l3 l2; link . up/../kept l3; link . sub/deeper up; link . loop loop
link . sub/made dangling; link . v1 cur; link . ../txt.txt wo/link; link . ../open s5/link 4243
link . ../open rs/link
if [ $(id -u) = 0 ]; then
    chown 4242:4242 sub/kept wo wo/shut s3
    chown 70000:70000 open open/txt.txt s4/txt.txt; chown 70001:70001 s4; chown 4243:4243 sg
fi
chmod 711 .; chmod 4751 sub/kept; chmod 700 wo; chmod 444 wo/ro; chmod 640 acl/* sg/txt.txt
chmod 777 open; chmod 646 open/txt.txt; chmod 1777 rs s4; chmod 666 s4/txt.txt
chmod 1755 s3; chmod 606 s3/txt.txt; chmod 1770 s5; chmod 2770 sg
)";

// Runs a shell script in the scratch folder. Null where it did its work; else why it cannot be done
// here, which the script prints.
inline const char* script(const char* text) {
    static std::string why;
    why = sh(std::string("cd \"$scratch\" && { ") + text + "; } 2>/dev/null");
    return why.empty() ? nullptr : why.c_str();
}

// A setup of several steps, taken in turn up to the first that cannot be done here.
template <const char* (*... steps)()>
const char* all() {
    for (const auto step : {steps...}) {
        if (const char* const why = step(); why != nullptr) {
            return why;
        }
    }
    return nullptr;
}

// How many descriptors this process has open, but for skip, which a fault may keep open: a close
// that the kernel fails lets go of the descriptor all the same, one that a filter fails does not.
inline int open_files(int skip = -1) {
    int open = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        open += fd != skip && fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    }
    return open;
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
    const auto held = open_files();
    static replacement f;
    int err = start_replacement(f, at(r.path).c_str(), r.how);
    std::string end = std::string("refused: ") + reason(err);
    const int made = in_use(f).fd;
    if (err == 0) {
        if (r.after != nullptr) {
            r.after(in_use(f));
        }
        const std::string_view text = "new table";
        append_to_replacement(f, std::ranges::copy(text, space_in_replacement(f, text.size())).out);
        // An ignored signal stays ignored; the handlers are as they were once the commit is done.
        const bool ignored = std::signal(SIGUSR2, SIG_IGN) == SIG_IGN;
        err = commit_replacement(f);
        const bool kept = ignored && std::signal(SIGUSR1, SIG_DFL) == on_usr1;
        end = !kept      ? "signal handlers changed"
              : err == 0 ? "done"
                         : "failed: " + std::string(reason(err));
    }
    // Whatever the end, nothing is held any more.
    return open_files(made) == held ? end : end + ", with files left open";
}

// What the row came to: what was said, with the table's path as PATH; the table, in short where
// long; the new tables left in its folder and those under it; and, where the row asks, the table's
// group where not the user's, and its ACL, as getfacl tells them. The random part of the new
// table's names, which no test can foresee, as XXXXXX.
inline outcome seen(const row& r, const std::string& end) {
    const fs::path table = at(r.shows != nullptr ? r.shows : r.path);
    std::string made = slurp(table);
    if (made.size() > 100) {
        const std::string size = " (" + std::to_string(made.size()) + " bytes)";
        made.replace(48, made.size() - 68, "… ").append(size);
    }
    setenv("table", table.c_str(), 1);
    setenv("end", end.c_str(), 1);
    const char* const unrandom = " | sed 's/\\.tmp....../.tmpXXXXXX/g'";
    const std::string said = R"(printf %s "$end" | sed "s|$table|PATH|g")";
    const std::string left = R"(find "${table%/*}" -type f -name '.tmp*' -printf %f 2>/dev/null)";
    const char* const acl = R"(group=$(stat -Lc %g "$table"); [ $group = $(id -g) ] ||
        printf 'group %s ' $group; getfacl -cnp "$table" | grep . | paste -sd' ')";
    return {sh(said + unrandom), made, sh(left + unrandom), r.want.mode.empty() ? "" : sh(acl)};
}

// Each row a test of its own, in a scratch folder of its own.
class Rows : public testing::TestWithParam<row> {
 protected:
    void SetUp() override {
        std::string name = fs::temp_directory_path() / "replacement.XXXXXX";
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        scratch = name;
        setenv("scratch", name.c_str(), 1);
        ASSERT_EQ(sh(std::string("cd \"$scratch\" && ") + fixture + " 2>&1"), "");
        const fs::path table = GetParam().path;
        if (GetParam().program) {
            fs::remove_all(table.parent_path());
            fs::create_directories(table.parent_path());
            std::ofstream(table) << "old table";
        }
    }
    void TearDown() override { sh("chattr -a \"$scratch/ao\" 2>/dev/null; rm -rf \"$scratch\""); }
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
