#pragma once

#include <sys/stat.h>

// Whose files the program trusts, and which it may replace.
//
// Ids compare as the kernel compares them. In a user namespace, every id the namespace does not
// map shows as the overflow id; such an id is nobody's: never the user's, never the folder
// owner's, never equal to another, though all show the same number. As the overflow id may be
// mapped too, it is taken for nobody's wherever the namespace does not map every id.

// Whether two ids as shown here are one: never where one has no mapping here.
bool same_user(unsigned id, unsigned other);
bool same_group(unsigned id, unsigned other);

// Whether a link or an existing table may be trusted: other users may put one in a sticky folder
// that they may write, such as /tmp, so there only the user's own and the folder owner's are,
// whatever fs.protected_symlinks and fs.protected_regular say. Elsewhere, all are.
bool trusted(const struct statx& folder, const struct statx& file);

// Refuses at once what would be refused, or must not be done, only after the whole run: the file
// called name in the folder dir is replaced by renaming another over it. Leaves the existing file's
// status in old, or its mode 0 where there is none. 0, or an errno or reason of messages.hpp.
int check_target(int dir, const char* name, struct statx& old);

// What the functions above read of a file.
inline constexpr unsigned owner_fields = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID;
