#pragma once

#include <sys/stat.h>

#include <climits>

// Whose files the program trusts, and which it may replace.
//
// Ids compare as the kernel shows them. An owner that the user namespace does not map shows as the
// overflow id; that id is no one's: never the user's, never equal to another, though all show the
// same number. The real user of that number (nobody) is then refused wherever trust is needed, as
// its files cannot be told from those of unmapped ids. On an idmapped mount, owners are as the
// mount shows them: its maker vouches for its map, as for the kernel.

// No id: (uid_t)-1 is never one.
inline constexpr unsigned nobody = UINT_MAX;

// The file's owner and group as ids to compare; nobody for the overflow id.
unsigned owner(const struct statx& file);
unsigned group(const struct statx& file);

// Whether two ids as owner() and group() give them are one: never where they are nobody.
bool same(unsigned id, unsigned other);

// Whether every user who could have bound the entry's name in the folder is the user or root: the
// folder's owner, and whoever else it lets write it (by its mode, whose group bits are the mask of
// an ACL), or in a sticky folder, where others may rename only what they own, the entry's owner in
// their place. A link is followed only where this holds; a table in a sticky folder is taken only
// where it does.
bool placed_safely(const struct statx& folder, const struct statx& entry);

// The file a replacement is to take the place of, looked at through one descriptor, so that
// everything known of it is of one file, whatever another user does to its name meanwhile.
struct old_file {
    int fd = -1;           // open to look at, not to change; -1 where there is none
    struct statx st = {};  // its status; mode 0 where there is none
    old_file() = default;
    old_file(const old_file&) = delete;
    old_file& operator=(const old_file&) = delete;
    ~old_file();
};

// Refuses at once what would be refused, or must not be done, only after the whole run: the file
// called name in the folder dir is replaced by renaming another over it. Leaves the existing file
// in old. 0, or an errno or reason of messages.hpp.
int check_target(int dir, const char* name, old_file& old);

// 0 where the user may do what (R_OK, W_OK, X_OK) with the file open as fd, as the kernel judges;
// else why not.
int may(int fd, int what);

// What the functions above read of a file.
inline constexpr unsigned owner_fields = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID;
