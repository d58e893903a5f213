// Installing a plugin bundle: unpacked into a fresh staging directory, checked,
// and only then moved into ./data/ and made durable.
#include "bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app_dpi_process.h"
#include "build_info.h"
#include "console.h"
#include "fs.h"
#include "sandbox.h"
#include "tool.h"

namespace {

constexpr char STAGING[] = "./data//.unpack";
constexpr char STAGING_NAME[] = ".unpack";
constexpr int MAX_DEPTH = 64;  // directories within directories in a bundle

const char *shown(const char *name) {
    static char text[NAME_MAX * 4 + 1];
    return escaped(name, text, sizeof text);
}

// How tar is confined: Landlock with `abi`, or, where that cannot be had, not
// at all (`abi` 0) and why. Unconfined, tar still writes only into the fresh
// staging directory, which holds no link of an earlier package to follow, and
// what it made is checked before it moves; refusing instead would make every
// upgrade impossible on such a host. ABI 1 cannot allow links or renames
// across directories, which ordinary bundles hold.
struct confinement {
    int abi;
    const char *why_not;
};

confinement choose_confinement() {
    const int abi = landlock_abi();
    return {abi >= 2 ? abi : 0, abi >= 2     ? nullptr
                                : abi == 1   ? "this kernel's Landlock (ABI 1) cannot allow links across directories"
                                : abi == 0   ? "this kernel has no Landlock"
                                : errno == EPERM ? "Landlock is not permitted here"
                                                 : "Landlock cannot be set up here"};
}

bool no_room(int dir) {
    struct statvfs fs {};
    return fstatvfs(dir, &fs) == 0 && (fs.f_bavail == 0 || (fs.f_files > 0 && fs.f_favail == 0));
}

// tar reads the very file that was checked, on its standard input, in the
// staging directory. As root, it would otherwise restore the archive's
// owners and setuid bits. What it says is relayed once it is done, escaped.
bool unpack_into(int stage, int package, const confinement &how, bool *keep) {
    const unique_fd said(memfd_create("tar-output", MFD_CLOEXEC));
    const char *const argv[] = {"tar", "-zxf", "-", "--no-same-owner", "--no-same-permissions", nullptr};
    const int status = run_tool(argv, {.input = package, .output = said.get(), .workdir = stage, .sandbox_abi = how.abi});
    if (status < 0) {  // tar never read the package: missing, or no pids, memory or descriptors for it
        *keep = true;
        printf("upgrade failed: cannot run tar: %s\n", strerror(errno));
        return false;
    }
    relay_output(said.get());
    // tar that ran short itself (of pids or memory for gzip, or for its own
    // libraries), or of room ("Wrote only N of M bytes" gives no reason),
    // that was killed (a file-size limit, the OOM killer) or could not be
    // confined fails as for a bad archive: the package is not to blame.
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    *keep = status != 0 && (code < 0 || code == 127 || code == TOOL_NOT_CONFINED || said_host_fault(said.get()) ||
                            no_room(stage));
    if (how.abi == 0) printf("unpacked in %s without a sandbox: %s\n", DPI_DATA_DIRNAME, how.why_not);
    if (WIFEXITED(status) && WEXITSTATUS(status) == TOOL_NOT_CONFINED)
        puts("upgrade refused: the sandbox for tar could not be set up");
    else if (status != 0)
        printf("upgrade failed: tar ended with status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return status == 0;
}

// How a walk over a directory's entries ended: every entry visited, stopped
// by a visit, or the directory could not be read (errno says why: a failing
// disk, too little memory), which says nothing about what it holds.
enum class walk { whole, stopped, unread };

// Calls `visit(name)` for every entry of the directory `dir` but . and ..,
// until one returns false. Reads from the start, and with `again` from the
// start again after each batch, so that entries moved away meanwhile do not
// hide others. The batch is on the heap: the walks recurse once per
// directory level, and 64 levels of it on the stack would not fit the
// smallest stack the supervisor runs with.
template <typename Visit>
walk each_entry(int dir, bool again, Visit visit) {
    constexpr size_t batch = 2048;
    const heap_text buf(static_cast<char *>(malloc(batch)));
    if (!buf) return errno = ENOMEM, walk::unread;
    for (bool first = true;; first = false) {
        if (first || again) lseek(dir, 0, SEEK_SET);  // whoever read it before
        const ssize_t n = getdents64(dir, buf.get(), batch);
        if (n <= 0) return n == 0 ? walk::whole : walk::unread;
        int entries = 0;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const dirent64 *>(buf.get() + at);
            at += e->d_reclen;
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            ++entries;
            if (!visit(e->d_name)) return walk::stopped;
        }
        if (again && entries == 0) return walk::whole;
    }
}

// walk::whole when `dir` is empty, walk::stopped when it is not.
walk emptiness(int dir) {
    return each_entry(dir, false, [](const char *) { return false; });
}

// The staged tree is the supervisor's own: each directory in it gets its
// owner's rights. Run as another user than root, it could otherwise neither
// move a read-only directory out of the staging directory nor remove one,
// and that leftover would refuse every later upgrade; installed, the next
// bundle merges into it.
void own_tree(int dir, int depth) {
    if (depth > MAX_DEPTH) return;
    each_entry(dir, false, [&](const char *name) {
        struct stat st {};
        if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return true;
        if ((st.st_mode & S_IRWXU) != S_IRWXU &&
            fchmodat(dir, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) != 0)
            return true;
        if (const unique_fd sub = open_exposed_dir(dir, name); sub.valid()) own_tree(sub.get(), depth + 1);
        return true;
    });
}

// Removes what an earlier upgrade, or a crash in one, left at `path`; never
// through a link (find and rm take the link itself). Its directories get
// their owner's rights first, however deep: rm cannot empty a read-only one.
void remove_staging(const char *path) {
    if (unlinkat(AT_FDCWD, path, AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    const char *const own[] = {"find", path, "-type", "d", "!", "-perm", "-u=rwx", "-exec", "chmod", "u+rwx", "{}", ";", nullptr};
    run_tool(own, {.quiet = true});
    const char *const argv[] = {"rm", "-rf", "--", path, nullptr};
    run_tool(argv, {.quiet = true});
}

unique_fd make_staging() {
    remove_staging(STAGING);
    if (mkdir(STAGING, 0700) != 0) return unique_fd();
    return open_exposed_dir(AT_FDCWD, STAGING);
}

bool read_fault;  // the check could not read the staged tree for this host's sake

bool cannot_read(const char *name) {
    read_fault |= host_at_fault(errno);
    printf("upgrade failed: cannot read %s in the package: %s\n", shown(name), strerror(errno));
    return false;
}

// A directory the walk could not read stops it as a fault of this host's:
// what it holds is not known, so the package is not to blame.
bool walked(walk how, const char *name) {
    if (how == walk::unread) {
        read_fault = true;
        printf("upgrade failed: cannot read %s: %s\n", shown(name), strerror(errno));
    }
    return how == walk::whole;
}

// Before anything moves: only regular files, directories and symbolic links
// may be installed, and none may take the place of a directory in ./data/
// that is not empty (the move would fail half-way, as tar would).
bool check_tree(int from, int to, int depth) {
    if (depth > MAX_DEPTH) {
        printf("upgrade refused: the package nests directories more than %d deep\n", MAX_DEPTH);
        return false;
    }
    return walked(each_entry(from, false, [&](const char *name) {
        struct stat src {}, dst {};
        if (fstatat(from, name, &src, AT_SYMLINK_NOFOLLOW) != 0) return cannot_read(name);
        const bool is_dir = S_ISDIR(src.st_mode);
        if (!is_dir && !S_ISREG(src.st_mode) && !S_ISLNK(src.st_mode)) {
            printf("upgrade refused: %s in the package is a device, FIFO or socket\n", shown(name));
            return false;
        }
        const bool dst_dir = to >= 0 && fstatat(to, name, &dst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(dst.st_mode);
        // The move holds both directories; one it cannot open now it could not open then.
        const unique_fd sub = is_dir ? open_exposed_dir(from, name) : unique_fd();
        const unique_fd sub_to = dst_dir ? open_exposed_dir(to, name) : unique_fd();
        if ((is_dir && !sub.valid()) || (dst_dir && !sub_to.valid())) return cannot_read(name);
        const walk target = !is_dir && dst_dir ? emptiness(sub_to.get()) : walk::whole;
        if (target == walk::stopped)
            printf("upgrade refused: %s in the package would replace a directory that is not empty\n", shown(name));
        if (!walked(target, name)) return false;
        return !is_dir || check_tree(sub.get(), sub_to.get(), depth + 1);
    }), "a directory of the package");
}

bool moved_any;  // the move changed ./data/: its old bundle is no longer whole

// Moves every entry of `from` into `to` by name, replacing what is there. A
// directory that both hold is merged; a file or link takes a directory's
// place only when that is empty. Nothing here follows a link: every step is
// relative to a directory held open.
bool move_tree(int from, int to, int depth) {
    return walked(each_entry(from, true, [&](const char *name) {
        struct stat src {}, dst {};
        if (fstatat(from, name, &src, AT_SYMLINK_NOFOLLOW) != 0) return false;
        const bool is_dir = S_ISDIR(src.st_mode);
        const bool exists = fstatat(to, name, &dst, AT_SYMLINK_NOFOLLOW) == 0;
        bool moved;
        if (exists && is_dir && S_ISDIR(dst.st_mode)) {
            const unique_fd sub_from = open_exposed_dir(from, name), sub_to = open_exposed_dir(to, name);
            moved = sub_from.valid() && sub_to.valid() && move_tree(sub_from.get(), sub_to.get(), depth + 1) &&
                    unlinkat(from, name, AT_REMOVEDIR) == 0;
        } else {
            const bool other_kind = exists && is_dir != S_ISDIR(dst.st_mode);
            const bool made_room = !other_kind || unlinkat(to, name, S_ISDIR(dst.st_mode) ? AT_REMOVEDIR : 0) == 0;
            moved = made_room && renameat(from, name, to, name) == 0;
            moved_any |= moved || (other_kind && made_room);
        }
        if (!moved && depth == 0)
            printf("upgrade failed: cannot move %s into %s: %s\n", shown(name), DPI_DATA_DIRNAME, strerror(errno));
        return moved;
    }), "a directory of the package");
}

// Names in ./data/ that only the supervisor makes: the record and the
// staging directory; and the files that Lua and signature upgrades replace,
// which a bundle may bring only as regular files.
bool holds_reserved_name(int stage) {
    for (const char *name : {BOOTCHK_FILE, STAGING_NAME, "init.bin", "m01_sig.bin"}) {
        struct stat st {};
        if (fstatat(stage, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (name[0] != '.' && S_ISREG(st.st_mode)) continue;
        printf("upgrade refused: the package holds %s, which only the supervisor writes\n", name);
        return true;
    }
    return false;
}

}  // namespace

bool unpack_bundle(int package, int *stage, bool *keep) {
    const confinement how = choose_confinement();
    unique_fd dir = make_staging();
    if (!dir.valid()) {
        printf("upgrade failed: cannot make %s: %s\n", STAGING, strerror(errno));
        return !(*keep = true);
    }
    bool unpacked = unpack_into(dir.get(), package, how, keep);
    fchmod(dir.get(), S_IRWXU);  // the archive's "./" gives it its mode
    own_tree(dir.get(), 0);
    // tar takes a gzipped stream of less than a block (an error page, say)
    // for an empty archive, and ends well.
    const walk staged = unpacked ? emptiness(dir.get()) : walk::stopped;
    if (staged == walk::whole) puts("upgrade failed: the package unpacked to nothing");
    if (staged == walk::unread) *keep = true, walked(staged, STAGING);
    unpacked = unpacked && staged == walk::stopped;
    unpacked = unpacked && !holds_reserved_name(dir.get());
    *stage = dir.release();
    return unpacked;
}

bool bundle_fits(int stage, int data, bool *keep) {
    read_fault = false;
    const bool fits = check_tree(stage, data, 0);
    *keep = read_fault;
    return fits;
}

// The bundle's files and directories reach the disk before the record that
// names them is replaced: a power cut then never boots a record whose
// bundle is empty or half there.
bool move_bundle_into_place(int stage, int data, bool *touched) {
    moved_any = false;
    const bool moved = move_tree(stage, data, 0);
    *touched = moved_any;
    if (!moved) return false;
    if (syncfs(data) == 0) return true;
    printf("upgrade failed: the bundle cannot be made durable in %s: %s\n", DPI_DATA_DIRNAME, strerror(errno));
    return false;
}

void remove_bundle_staging(int stage) {
    if (stage >= 0) close(stage);
    remove_staging(STAGING);
}
