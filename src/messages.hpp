#pragma once

#include <string>
#include <string_view>

// Reasons of the program's own, beside errno's, for what cannot be done to the table.
inline constexpr int not_regular = -1;  // something other than a regular file stands at the path
inline constexpr int name_taken =
    -2;  // the new file's name, checked before the rename, held another
inline constexpr int path_moved =
    -3;  // by the rename, the path no longer led where it did at start

// What a failure means, for a message: one of the reasons above, or an errno.
const char* reason(int err);

// text, fit to stand in a message of one plain line for any reader: backslashes and control
// characters are escaped as C writes them (C1 controls, the Unicode line and paragraph separators,
// and bytes that are not UTF-8 too, as \ooo), while printable UTF-8 stays as it is.
std::string escaped(std::string_view text);

// Writes all of text to fd, retrying a write cut short or interrupted. 0 or an errno.
int write_all(int fd, std::string_view text);
