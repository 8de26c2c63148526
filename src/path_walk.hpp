#pragma once

#include <string>

// Where an absolute path leads: the folder that holds its last component, open, and that
// component's name in it, which need not exist yet. The walk starts at the root, whatever the path
// begins with.
//
// The path is walked one component at a time from open folders, never as joined text, so that no
// part of it can change between the look and the use. A link, in any component, is followed only
// where the kernel would follow it and it is safe: not on a nosymfollow mount (ELOOP, as the
// kernel); only where trust.hpp's placed_safely() holds, as no other user could have put it in
// the way (EACCES); at most 40 over the whole walk (ELOOP). A link of /proc's (a process's root,
// its open files) may say nothing true of where it leads, so the kernel follows it, and only to a
// folder: where it ends the path, there is no folder and name to give (ENOTDIR, or EISDIR). `..` is
// the open folder's parent, as the kernel has it. Any other link that ends the path leads on to its
// target, made or not.
struct walked {
    int dir = -1;      // the folder, opened for reading; the caller closes it
    std::string name;  // of the last component, in dir
};

// 0 or the errno of the step that failed; EISDIR where the path ends in a folder.
int walk_path(const char* path, walked& to);
