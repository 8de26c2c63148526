#pragma once

#include <sys/stat.h>

#include <climits>

// Whose files the program trusts, and which it may replace.
//
// Ids compare as the kernel compares them. An owner that the user namespace, or an idmapped mount,
// does not map shows as the overflow id; such an owner is nobody's: never the user's, never the
// folder owner's, never equal to another, though all show the same number. As the overflow id may
// be a real one too, it is taken for nobody's wherever it may stand for an unmapped one: where the
// namespace does not map every id, on an idmapped mount, and where neither can be told.

// No id: (uid_t)-1 is never one.
inline constexpr unsigned nobody = UINT_MAX;

// The file's owner and group as ids to compare; nobody where they may have no id here.
unsigned owner(const struct statx& file);
unsigned group(const struct statx& file);

// Whether two ids as owner() and group() give them are one: never where they are nobody.
bool same(unsigned id, unsigned other);

// Whether an existing table may be trusted: other users may put one in a sticky folder that they
// may write, such as /tmp, so there only the user's own and the folder owner's are, whatever
// fs.protected_regular says. Elsewhere, all are.
bool trusted(const struct statx& folder, const struct statx& file);

// Whether a link may be followed: where no other user could have put it in the way. The user's
// own; in a folder of the user's or root's that only its owner may write, all; in a sticky one that
// others may write, such as /tmp, the folder owner's too, whatever fs.protected_symlinks says.
// Elsewhere, in a folder another user owns, sticky or not, or that others may write without the
// sticky bit, only the user's own.
bool followed(const struct statx& folder, const struct statx& link);

// Refuses at once what would be refused, or must not be done, only after the whole run: the file
// called name in the folder dir is replaced by renaming another over it. Leaves the existing file's
// status in old, or its mode 0 where there is none. 0, or an errno or reason of messages.hpp.
int check_target(int dir, const char* name, struct statx& old);

// The file called name in dir, opened to look at, not to change: for reading, or where the user
// may only write it, for writing. A descriptor, or -1 with errno set.
int open_to_look(int dir, const char* name);

// What the functions above read of a file.
inline constexpr unsigned owner_fields =
    STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_MNT_ID;
