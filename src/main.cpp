#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "messages.hpp"
#include "replacement.hpp"
#include "table_path.hpp"
#include "triple_count.hpp"

namespace {

constexpr std::int32_t last = 1'000'000;
constexpr std::string_view separator = ", ";
constexpr std::size_t longest = 20 + separator.size();  // a count of 64 bits, and the separator

// A closed descriptor 0-2 would be the next one open returns: the table would take the place of a
// standard stream, and whatever is written there would land in it.
int open_std_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            return errno;
        }
    }
    return 0;
}

// Past a file size limit, a write then fails and is told, rather than killing us; so does the
// message to a pipe that no one reads, and the status still tells. The replacement holds the fatal
// signals while it names and renames the table. Where any of this cannot be set, nothing is begun.
int set_signals() {
    if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        return errno;
    }
    held_signals held;
    return held.let_go();
}

// One line on stderr, made whole first and written at once, so that no other writer to the same
// pipe or log can split it.
int fail(const std::string& what, const char* left = nullptr) {
    std::string line = "triple_table: " + what;
    if (left != nullptr) {
        line += "; the new table is left beside it, as " + escaped(left);
    }
    write_all(2, line + '\n');
    return 1;
}

// What could not be done to the table, and why.
std::string about(const char* what, int err) {
    return std::string(what) + " " + escaped(table_path) + ": " + reason(err);
}

}  // namespace

int main() {
    if (const int err = open_std_fds(); err != 0) {
        return fail(std::string("cannot open /dev/null: ") + std::strerror(err));
    }
    if (const int err = set_signals(); err != 0) {
        return fail(std::string("cannot set up signals: ") + std::strerror(err));
    }
    replacement f;
    if (const int err = start_replacement(f, table_path); err != 0) {
        return fail(about("cannot create", err), leftover(f));
    }
    for (std::int32_t i = 0; i <= last; ++i) {
        char* const entry = space_in_replacement(f, longest);
        if (entry == nullptr) {
            break;  // commit reports it
        }
        char* const end = std::to_chars(entry, entry + longest, solve(i)).ptr;
        append_to_replacement(f, std::copy(separator.begin(), separator.end(), end));
    }
    if (const int err = commit_replacement(f); err != 0) {
        return fail(about("cannot write", err), leftover(f));
    }
    return 0;
}
