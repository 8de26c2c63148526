#include <cerrno>
#include <csignal>
#include <cstring>

#include "rows.hpp"
#include "table_path.hpp"

namespace {

using enum temp_file;

// What a row does before start: null where it is done, or why it cannot be done here.
const char* unless(bool done, const char* why) { return done ? nullptr : why; }
constexpr const char* no_namespace = "needs a user namespace of its own";
constexpr const char* no_root = "needs root, to give files to others";
bool root() { return geteuid() == 0; }

const char* as_root() { return unless(root(), no_root); }
const char* with_tmpfile() {
    const int fd = open(scratch.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    return unless(fd >= 0 && close(fd) == 0, "needs a file system that makes unnamed files");
}
// Where root may write anything, as another user.
const char* not_the_owner() { return unless(!root() || become(4242), no_root); }
// The folder gives its new files an ACL that lets user 65534 read and write them; one table has an
// ACL of its own.
const char* with_acls() {
    return script("setfacl -dm u:65534:rw acl && setfacl -m u:2:r acl/shared || echo needs ACLs");
}
const char* append_only_folder() {
    return script("chattr +a ao || echo needs root, and a file system that keeps the flag");
}
// Root in a user namespace where it is 65534, the overflow id, and no other id has a mapping: the
// owners without one show as it does.
const char* as_overflow_id() {
    std::ofstream map;
    if (root() && unshare(CLONE_NEWUSER) == 0) {
        map.open("/proc/self/uid_map");
        map << "65534 0 1" << std::flush;
    }
    return unless(map.good() && geteuid() == 65534, root() ? no_namespace : no_root);
}
// A table of the user's that it may only write, in a group it is no member of, which its ACL shuts
// out.
const char* group_shut_out() {
    return script(
        "chgrp 4244 wo/shut && setfacl -m u::w,u:2002:r,g::-,m::r,o::r wo/shut || echo needs root");
}
// Another user's table whose ACL lets the named user 2 write, not read, and others read.
const char* named_masked() {
    return script(
        "setfacl -m u::r,u:2:rw,g::w,m::w,o::r wo/shut && [ $(id -u) = 0 ] || echo needs root");
}
const char* folder_owner() { return unless(root() && become(4242), no_root); }

constexpr scmp_arg_cmp on(int fd) { return {0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd), 0}; }
void no_file_sync(const files_held& h) { inject(SCMP_SYS(fsync), EIO, {on(h.fd)}); }
void no_naming(const files_held& h) { inject(SCMP_SYS(linkat), EIO, {on(h.fd)}); }
void no_folder_sync(const files_held& h) { inject(SCMP_SYS(fsync), EIO, {on(h.dir)}); }
// No room to queue a real-time signal, which a handler may then not send again as it pleases.
const char* no_queue() {
    const rlimit none{0, 0};
    return unless(setrlimit(RLIMIT_SIGPENDING, &none) == 0, "no limit on pending signals");
}
// Signal 32, which the C library keeps for itself.
void libc_signal(const files_held&) { kill(getpid(), 32); }
void killed(const files_held&) { raise(SIGKILL); }
// Another user of the folder puts a link to a file of theirs where the new file stands.
void taken(const files_held&) { script("ln -s wo/ro theirs && mv -T theirs .tmp*"); }
// The link to the folder aimed elsewhere, as a deploy does.
void moved(const files_held&) { script("ln -s v2 cur.new && mv -T cur.new cur"); }
// No walk of the path can open its first part.
void unwalkable(const files_held&) {
    inject(SCMP_SYS(openat), EIO, {{2, SCMP_CMP_MASKED_EQ, O_PATH, O_PATH}});
}

const row rows[] = {
    // Relative, absolute, and with `..` after a link. As root, where the old table was another's,
    // its group is kept too.
    {"FollowsLinksAsTheKernelDoes", "l1",
     done(geteuid() == 0 ? "group 4242 user::rwx group::r-x other::--x"
                         : "user::rwx group::r-x other::--x")},
    {"MakesTheFileADanglingLinkLeadsTo", "dangling", done(), nullptr, nullptr, named},
    {"RefusesALinkLoop", "loop", refused(ELOOP, "")},
    {"RefusesAFolder", "folder", refused(not_regular, "")},
    {"RefusesAPathEndingInAFolder", "folder/.", refused(EISDIR, "")},
    // Root's, in a folder of the user's, where the kernel would let the rename through.
    {"RefusesATableItMayNotWrite", "wo/ro", refused(EACCES), not_the_owner},
    {"FailsWhereTheFileCannotBeSynced", "txt.txt", failed(EIO), nullptr, no_file_sync},
    {"FailsWhereTheFileCannotBeNamed", "txt.txt", failed(EIO), with_tmpfile, no_naming},
    {"SaysSoWhereOnlyTheFolderSyncFails", "txt.txt", failed(EIO, "new table"), nullptr,
     no_folder_sync, named},
    {"ChecksWhatTheNewNameHolds", "txt.txt", failed(name_taken), nullptr, taken, named},
    {"FailsWhereTheFolderChangedMidRun", "cur/txt.txt", failed(path_moved), nullptr, moved, unnamed,
     "v1/txt.txt"},
    // Not as a change of the path, which it cannot tell.
    {"TellsAFailedSecondWalkAsItIs", "txt.txt", failed(EIO), nullptr, unwalkable},
    {"RemovesTheNamedFileAsAnySignalEndsIt", "txt.txt", outcome{"killed by signal 32", "old table"},
     no_queue, libc_signal, named},
    {"LeavesNothingWhenKilled", "txt.txt", outcome{"killed by signal 9", "old table"}, with_tmpfile,
     killed},
    {"KeepsNoAclWhereTheOldHadNone", "acl/txt.txt", done("user::rw- group::r-- other::---"),
     with_acls},
    {"KeepsTheOldTablesAcl", "acl/shared",
     done("user::rw- user:2:r-- group::r-- mask::r-- other::---"), with_acls},
    {"RefusesAnAppendOnlyFolder", "ao/txt.txt", refused(EPERM), append_only_folder},
    // As the kernel refuses it.
    {"RefusesAnAclWithAnIdItCannotGive", "acl/shared", refused(EINVAL),
     all<with_acls, as_overflow_id>},
    // Though root made it: the folder's owner may have put it there.
    {"RefusesALinkInAnotherUsersFolderWhoeverMadeIt", "wo/link", refused(EACCES), as_root, nullptr,
     unnamed, "txt.txt"},
    // Where the old owner could read nothing of what the mask let in, a mask cut to nothing would
    // let the named user 2 fall to the others' entry.
    {"CutsEveryEntryWhereTheMaskWouldFallAway", "wo/shut",
     done("group 4242 user::rw- user:2:--- group::--- mask::--- other::---"), named_masked},
    // Read through a descriptor for writing; only root, who runs the rows as another user, may
    // then read it.
    {"KeepsOutAGroupTheOldAclShutOut", "wo/shut",
     done("group 4242 user::-w- user:2002:--- group::--- mask::--- other::---"),
     all<group_shut_out, folder_owner>},
    {"RefusesATableOfAnUnmappedUserAsOne", "s4/txt.txt", refused(EACCES), as_overflow_id},
    // Neither its owner nor of its group: the old table's group may not read it, so no one but the
    // user may.
    {"ReplacesAsOwnerOfAStickyFolder", "s3/txt.txt",
     done("group 4242 user::rw- group::--- other::---"), folder_owner},
    {"RefusesALinkOfAnotherInAStickyFolderAGroupMayWrite", "s5/link/txt.txt", refused(EACCES),
     as_root},
    {"FollowsRootsLinkInAStickyFolder", "rs/link/txt.txt", done(), not_the_owner},
    // Of another, unmapped group: others, who had less than the old group, have what it had.
    {"ReplacesInAnUnmappedFolderWithoutSticky", "open/txt.txt",
     done("user::rw- group::r-- other::r--"), as_overflow_id},
};

// The program, end to end, with its process-wide policy.
const char* no_folder() {
    return unless(fs::remove_all(fs::path(table_path).parent_path()) > 0, "no folder");
}
const char* size_limit() {
    const rlimit small{1 << 20, 1 << 20};
    return unless(setrlimit(RLIMIT_FSIZE, &small) == 0, "no file size limit");
}
// A stack far smaller than any default.
const char* small_stack() {
    const rlimit small{64 << 10, 64 << 10};
    return unless(setrlimit(RLIMIT_STACK, &small) == 0, "no stack limit");
}
// Signals may be held, not let go.
const char* no_letting_go() {
    return inject(SCMP_SYS(rt_sigprocmask), EPERM, {{0, SCMP_CMP_EQ, SIG_SETMASK, 0}});
}
const char* no_renaming() { return inject(SCMP_SYS(renameat), EIO, {}); }
const char* no_removing() { return inject(SCMP_SYS(unlinkat), EIO, {}); }

// Its message to a pipe that no one reads.
const char* no_reader() {
    int ends[2];
    return unless(pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 2) == 2, "no pipe");
}
// Any write to stderr but one of the whole message fails.
const std::string cannot = "triple_table: cannot ";
const char* in_one_write() {
    const auto size = cannot.size() + std::strlen("create : No such file or directory\n") +
                      escaped(table_path).size();
    return inject(SCMP_SYS(write), EIO, {{0, SCMP_CMP_EQ, 2, 0}, {2, SCMP_CMP_NE, size, 0}});
}

// The program itself, in a process setup has made ready.
row program(const char* name, const char* (*setup)(), outcome want) {
    return {name, table_path, std::move(want), setup, nullptr, unnamed, nullptr, true};
}

const std::string left = "; the new table is left beside it, as .tmpXXXXXX";
const row runs[] = {
    program("RefusesAtOnceWithoutItsFolderInOneWrite", all<no_folder, in_one_write>,
            outcome{cannot + "create PATH: No such file or directory\nstatus 1", ""}),
    program("ExitsOneWhereNoOneReadsWhy", all<no_folder, no_reader>, outcome{"status 1", ""}),
    program("RefusesAtOnceWhereHeldSignalsCannotBeLetGo", no_letting_go,
            outcome{cannot + "set up signals: Operation not permitted\nstatus 1", "old table"}),
    // Midway, past the limit.
    program("SaysSoWhereAWriteFails", size_limit,
            outcome{cannot + "write PATH: File too large\nstatus 1", "old table"}),
    program("NamesTheNewTableItCannotRemove", all<no_renaming, no_removing>,
            outcome{cannot + "write PATH: Input/output error" + left + "\nstatus 1", "old table",
                    ".tmpXXXXXX"}),
    program("WritesTheWholeTableAndSaysNothingOnASmallStack", small_stack,
            outcome{"",
                    "0, 0, 0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 5, 5, 6, 7, … 16849929, 16850052,  "
                    "(9263059 bytes)"}),
};

TEST_P(Rows, Case) { check(); }
INSTANTIATE_TEST_SUITE_P(Replacement, Rows, testing::ValuesIn(rows), name_of);
INSTANTIATE_TEST_SUITE_P(Program, Rows, testing::ValuesIn(runs), name_of);

}  // namespace
