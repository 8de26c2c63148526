#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Replaces a file whole or not at all: a reader of the path sees the previous file, byte for byte,
// until commit renames the complete new one over it.
//
// begin() follows the path's symbolic links to the file they name, which may not exist yet, refuses
// at once what could not be renamed over, and makes the new file in that file's folder with its
// permission bits, unnamed, so that no death of any kind leaves it behind. Where the file system
// cannot make an unnamed file, or when asked, it gets a short random name instead, and a signal
// that would end the process removes it first. append() writes through the one descriptor that
// made the file. commit() syncs the new file, names it, renames it over the target and syncs the
// folder. A failed step removes the new file; a failed append is kept and returned again by commit.
//
// Each step returns 0 or the reason it failed: the errno of the failed call, or not_regular.

// Something other than a regular file stands at the path.
inline constexpr int not_regular = -1;

enum class temp_file { unnamed, named };

struct replacement {
    int dir = -1;          // the target's folder, where the new file is made and renamed
    int fd = -1;           // the new file
    std::string target;    // the name of the file to replace, in dir
    char name[16] = "";    // the new file's name in dir, while it has one
    char buffer[1 << 16];  // what append has not yet written, held here so that none allocates
    std::size_t used = 0;  // of buffer
    int err = 0;           // the first failure of append
};

int begin(replacement& f, const char* path, temp_file how = temp_file::unnamed);
int append(replacement& f, std::string_view text);
int commit(replacement& f);

// What a step's failure means, for a message.
const char* reason(int err);
