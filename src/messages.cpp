#include "messages.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A character of UTF-8 text: its code point and how many bytes it takes; 0 bytes where the text
// does not begin with valid UTF-8.
struct character {
    char32_t point = 0;
    std::size_t size = 0;
};

character decode(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t size = lead < 0x80   ? 1
                             : lead < 0xc2 ? 0
                             : lead < 0xe0 ? 2
                             : lead < 0xf0 ? 3
                             : lead < 0xf5 ? 4
                                           : 0;
    if (size == 0 || text.size() < size) {
        return {};
    }
    char32_t point = size == 1 ? lead : lead & (0x7fU >> size);
    for (std::size_t i = 1; i < size; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0) != 0x80) {
            return {};
        }
        point = point << 6 | (next & 0x3fU);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[size] || (point >= 0xd800 && point < 0xe000) || point > 0x10ffff) {
        return {};
    }
    return {point, size};
}

// Whether a reader may take the character for a control: C0 and C1 controls, DEL, and the line
// and paragraph separators, which some split lines at.
bool control(char32_t point) {
    return point < 0x20 || (point >= 0x7f && point < 0xa0) || point == 0x2028 || point == 0x2029;
}

std::string octal(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\%03o", static_cast<unsigned char>(c));
        out += escape;
    }
    return out;
}

}  // namespace

const char* reason(int err) {
    switch (err) {
        case not_regular:
            return "not a regular file";
        case name_taken:
            return "the new file's name held another file";
        case path_moved:
            return "the folder at the path changed during the run";
        default:
            return std::strerror(err);
    }
}

std::string escaped(std::string_view text) {
    static constexpr std::string_view named = "\a\b\t\n\v\f\r";
    std::string out;
    while (!text.empty()) {
        const character c = decode(text);
        const std::string_view bytes = text.substr(0, c.size == 0 ? 1 : c.size);
        const std::size_t name = c.size == 1 ? named.find(text[0]) : named.npos;
        if (c.point == '\\') {
            out += "\\\\";
        } else if (name != named.npos) {
            out += {'\\', "abtnvfr"[name]};
        } else if (c.size == 0 || control(c.point)) {
            out += octal(bytes);
        } else {
            out += bytes;
        }
        text.remove_prefix(bytes.size());
    }
    return out;
}

int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t done = write(fd, text.data(), text.size());
        if (done < 0 && errno != EINTR) {
            return errno;
        }
        // As git's write_in_full has it: a write that makes no progress never will.
        if (done == 0) {
            return ENOSPC;
        }
        text.remove_prefix(done < 0 ? 0 : static_cast<std::size_t>(done));
    }
    return 0;
}
