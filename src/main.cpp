#include <cstdint>
#include <cstdio>
#include <string>

#include "replacement.hpp"
#include "table_path.hpp"
#include "triple_count.hpp"

namespace {

constexpr std::int32_t last = 1'000'000;

int fail(const char* what, int err) {
    std::fprintf(stderr, "triple_table: %s %s: %s\n", what, table_path, reason(err));
    return 1;
}

}  // namespace

int main() {
    replacement f;
    if (const int err = begin(f, table_path); err != 0) {
        return fail("cannot create", err);
    }
    for (std::int32_t i = 0; i <= last; ++i) {
        if (append(f, std::to_string(solve(i)) + ", ") != 0) {
            break;  // commit reports it
        }
    }
    if (const int err = commit(f); err != 0) {
        return fail("cannot write", err);
    }
    return 0;
}
