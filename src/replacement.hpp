#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>

// Replaces a file whole or not at all: a reader of the path sees the previous file, byte for byte,
// until the complete new one is renamed over it.
//
// The protocol, each step returning 0 or the reason it failed (an errno, or one of those below):
// 1. start_replacement walks the path to the folder and name of the file it leads to, made or not
//    (path_walk.hpp); refuses at once what could not, or may not, be replaced; and makes the new
//    file in that folder with the old file's permission bits: unnamed (O_TMPFILE), so that no death
//    of any kind leaves it behind, or, where the file system cannot or when asked, under a short
//    random name, which a signal that would end the process removes first.
// 2. append_to_replacement writes through the one descriptor that made the file; its first failure
//    is kept and returned again by commit.
// 3. commit_replacement syncs the new file, names it where it has no name, checks that the name
//    holds it, renames it over the target with the fatal signals held back, and syncs the folder.
// A failed step removes the new file and lets go of all it held; commit always does.
//
// It assumes one replacement at a time in the process, as the signal handler knows of one, and
// that every successful start reaches commit, which restores the signal handlers start installed.
// Process-wide policy is the caller's: descriptors 0-2 open, so that the new file cannot take the
// place of a standard stream, and SIGXFSZ ignored, so that a write past the size limit fails.

// Something other than a regular file stands at the path.
inline constexpr int not_regular = -1;
// The new file's name, checked before the rename, held another file.
inline constexpr int name_taken = -2;

enum class temp_file { unnamed, named };

struct replacement {
    int dir = -1;          // the target's folder, where the new file is made and renamed
    int fd = -1;           // the new file
    int proc = -1;         // /proc/self/fd, held from the start, to name an unnamed file through
    std::string target;    // the name of the file to replace, in dir
    char name[16] = "";    // the new file's name in dir, while it has one
    char buffer[1 << 16];  // what append has not yet written, held here so that none allocates
    std::size_t used = 0;  // of buffer
    int err = 0;           // the first failure of append
    sigset_t armed{};      // the signals whose handler start installed
    struct sigaction saved[NSIG] {};  // and the handlers they had
};

int start_replacement(replacement& f, const char* path, temp_file how = temp_file::unnamed);
int append_to_replacement(replacement& f, std::string_view text);
int commit_replacement(replacement& f);

// What a step's failure means, for a message.
const char* reason(int err);
// text with its backslashes and control characters escaped as C does, so that a message that
// holds it stays one plain line.
std::string quoted(std::string_view text);
