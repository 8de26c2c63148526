#pragma once

#include <sys/stat.h>

// Gives the new file fd the access of the old file called name in the folder dir, whose status is
// old: its access ACL exactly, or none where it had none, whatever the folder's default ACL gave;
// its group, where the user may give it; and its permission bits, cut where the new owner or group
// is not the old one. Called before a byte is in the new file, so that no one may read it who could
// not read the old. 0 or an errno.
int give_access(int fd, int dir, const char* name, const struct statx& old);
