#pragma once

#include "trust.hpp"

// Gives the new file fd the access of the old file: its group, where the user may give it; then, in
// one step, its access ACL, or its permission bits where it has none (not setuid, setgid or
// sticky), cut where the new owner or group is not the old one's, whatever the folder's default ACL
// gave. Called before a byte is in the new file, and while it lets no one in, so that no one may
// open it at any moment who could not read the old. 0 or an errno.
int give_access(int fd, const old_file& old);
