#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "messages.hpp"
#include "signal_cleanup.hpp"

// Replaces a file whole or not at all: a reader of the path sees the previous file, byte for byte,
// until the complete new one is renamed over it.
//
// The protocol, each step returning 0 or the reason it failed (an errno, or one of messages.hpp):
// 1. start_replacement walks the path to the folder and name of the file it leads to, made or not
//    (path_walk.hpp); refuses at once what could not, or may not, be replaced (trust.hpp); and
//    makes the new file in that folder with the old file's permission bits and access ACL, before
//    a byte is in it: unnamed (O_TMPFILE), so that no death of any kind leaves it behind, or, where
//    the file system cannot or when asked, under a short random name, which a signal that would end
//    the process removes first (signal_cleanup.hpp).
// 2. space_in_replacement and append_to_replacement put the text in a buffer, written out through
//    the one descriptor that made the file, its writeback started as it goes; the first failure is
//    kept and returned by commit.
// 3. commit_replacement writes out the rest and syncs the new file; then, with the fatal signals
//    held, names it where it has no name, checks that the name holds it and that the path still
//    leads to the folder, renames it over the target, and syncs the folder.
// A failed step removes the new file and lets go of all it held; commit always lets go. Only where
// the new file's name can neither be renamed nor removed does it stay: leftover() gives it.
//
// The states, and what the fields hold in each:
// - idle: before start, after a failed start and after commit: dir, fd and proc are -1, no handler
//   is armed, and name is empty but for a leftover.
// - unnamed (after start): dir is the folder, fd the new file, which has no name, and proc is
//   /proc/self/fd, held from the start, as it may be gone by commit; name is empty.
// - named (after start, or in commit with the signals held once an unnamed file got its name): fd
//   is the new file, called name in dir; after start, the fatal signals' handler removes it.
//
// One replacement at a time in the process; every successful start reaches commit, which puts
// back the signal handlers start installed. Process-wide policy is the caller's: descriptors 0-2
// open, so that the new file cannot take the place of a standard stream; SIGXFSZ ignored, so that
// a write past the size limit fails; and the fatal signals known to be held (held_signals).

enum class temp_file { unnamed, named };

inline constexpr std::size_t buffer_size = 1 << 16;

struct replacement {
    int dir = -1;        // the target's folder, where the new file is made and renamed
    int fd = -1;         // the new file
    int proc = -1;       // /proc/self/fd, to name an unnamed file through
    std::string path;    // the path given, walked again before the rename
    std::string target;  // the name of the file to replace, in dir
    char name[16] = "";  // the new file's name in dir, while it has one
    // What is not yet written, of buffer_size: on the heap, as the caller's stack may be small,
    // and made once, so that no append allocates.
    std::unique_ptr<char[]> buffer;
    std::size_t used = 0;       // of buffer
    std::size_t unstarted = 0;  // bytes written since their writeback was last started
    int err = 0;                // the first failure of a write
    signal_cleanup cleanup;
};

int start_replacement(replacement& f, const char* path, temp_file how = temp_file::unnamed);
// Where the next size bytes of text go (size at most the buffer's), or null once a write failed.
char* space_in_replacement(replacement& f, std::size_t size);
// Takes the text put in the space given, up to end.
void append_to_replacement(replacement& f, const char* end);
int commit_replacement(replacement& f);

// The new file's name, where a failed commit could neither rename nor remove it; else null.
const char* leftover(const replacement& f);

// The files a replacement under way holds, for tests that act on them from outside.
struct files_held {
    int dir;
    int fd;
    const char* name;  // "" while the new file has none
};
files_held in_use(const replacement& f);
