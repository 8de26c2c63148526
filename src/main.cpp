#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
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

int fail(const char* what, int err, const char* left = nullptr) {
    const std::string path = escaped(table_path);
    std::fprintf(stderr, "triple_table: %s %s: %s", what, path.c_str(), reason(err));
    if (left != nullptr) {
        std::fprintf(stderr, "; the new table is left beside it, as %s", escaped(left).c_str());
    }
    std::fputc('\n', stderr);
    return 1;
}

}  // namespace

int main() {
    if (const int err = open_std_fds(); err != 0) {
        std::fprintf(stderr, "triple_table: cannot open /dev/null: %s\n", std::strerror(err));
        return 1;
    }
    // Past a file size limit, a write then fails and is reported, rather than killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    replacement f;
    if (const int err = start_replacement(f, table_path); err != 0) {
        return fail("cannot create", err, leftover(f));
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
        return fail("cannot write", err, leftover(f));
    }
    return 0;
}
