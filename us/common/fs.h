// Owners for descriptors, directory listings and cJSON trees, and file
// replacement that a crash or a full disk can never leave half-done.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

#include "libutil/cJSON.h"

class unique_fd {
   public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept { return reset(other.release()), *this; }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

struct cjson_deleter {
    void operator()(cJSON *tree) const { cJSON_Delete(tree); }
};
using cjson_tree = std::unique_ptr<cJSON, cjson_deleter>;

struct cjson_text_deleter {
    void operator()(char *text) const { cJSON_free(text); }
};
using cjson_text = std::unique_ptr<char, cjson_text_deleter>;

// Writes all `len` bytes, resuming after short writes and EINTR. `written`,
// if given, receives how many bytes went out, also when it fails part-way.
bool write_all(int fd, const void *buf, size_t len, size_t *written = nullptr);

// Reads into `buf` until it is full or the file ends; -1 on a read error.
ssize_t read_full(int fd, void *buf, size_t len);

// The one way to open a file under ./tmp/ or ./data/, where the supervised
// programs, and whoever else can write there, may have left anything. Never
// through a final symbolic link, never blocking on a FIFO, never inherited by
// a child; then judged on the descriptor, not the path: a regular file only,
// and, when opened for writing, one with no other hard link (writing it would
// write someone else's file). `flags` may add O_RDWR or O_WRONLY and O_CREAT;
// never O_TRUNC, which would act before the check (truncate afterwards). On
// failure errno tells why: ELOOP a link, EINVAL not a regular file, EMLINK
// hard-linked. Every later read or write goes through the descriptor.
unique_fd open_exposed(const char *path, int flags = O_RDONLY, mode_t mode = 0);

// Opens a path that is ours or the operator's (the configuration, /dev/null,
// /proc, a directory): follows links, but never blocks on a FIFO and is
// never inherited by a child.
unique_fd open_plain(const char *path, int flags = O_RDONLY);

// A directory to list (/proc, ./tmp/), opened as open_plain opens; null with
// errno on failure.
struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;
dir_ptr open_listing(const char *path);

// Opens the supervisor's own file at `path` (under ./tmp/), creating it, as
// open_exposed would; whatever else holds that name (a link, a FIFO, a file
// with other links, one it may not write: another user's leftover) is
// removed first, since the name is the supervisor's.
unique_fd open_own(const char *path, int flags, mode_t mode);

// Whether `path` names the descriptor's file now: not removed, replaced or
// renamed away.
bool names_file(int fd, const char *path);

// Whether the descriptor is still the file at `path`, and that file's only
// name: not removed, replaced, renamed away or linked elsewhere.
bool still_at(int fd, const char *path);

// A directory beneath ./tmp/ or ./data/, by name in the directory `at`
// (AT_FDCWD: the working directory), never through a final symbolic link.
// `flags` O_PATH: one that may be searched but not read, to look up only.
unique_fd open_exposed_dir(int at, const char *name, int flags = O_RDONLY);

// Whether open_exposed refused what it found for what it is (a link, no
// regular file, a file with other hard links) rather than for a failure.
bool refused_for_kind(int err);

// Why open_exposed or read_capped refused a file, in an operator's words.
const char *refusal_text(int err);

// The faults of this host rather than of the work: a passing shortage (pids,
// memory, descriptors), no room on disk, a disk read-only, failing or gone (a
// FUSE daemon that died, a stale NFS handle), a file system that cannot hold
// what is asked (symbolic links on exFAT). The same work may well succeed once
// they are mended, or ./data/ is moved to another file system.
inline constexpr int HOST_FAULTS[] = {EAGAIN, ENOMEM, EMFILE,     ENFILE,  ENOSPC, EDQUOT, EROFS,
                                      EIO,    ENOSYS, EOPNOTSUPP, ENOTCONN, EUCLEAN, ESTALE};

inline bool host_at_fault(int err) {
    for (const int fault : HOST_FAULTS)
        if (err == fault) return true;
    return false;
}

// The whole file behind `fd` if it holds at most `cap` bytes, NUL-terminated,
// from the process heap (free() it); null otherwise, errno EFBIG when larger.
// Reads what is there: a file that shrank since its size was taken is read
// as far as it goes.
struct heap_deleter {
    void operator()(void *p) const { free(p); }
};
using heap_text = std::unique_ptr<char, heap_deleter>;
heap_text read_capped(int fd, size_t cap, size_t *len = nullptr);

// Creates a new, uniquely named file beside `target` (exclusively, never
// through a link) with `mode` before the umask. `tmp_path` receives its name.
unique_fd create_temp_beside(const char *target, mode_t mode, char *tmp_path, size_t tmp_size);

// Removes the temporary file `tmp_path`, keeping errno; returns false.
bool discard_temp(const char *tmp_path);

// Makes the temporary file `tmp_path` durable and renames it over `target`,
// then makes the rename durable. Removes the temporary file on failure.
bool commit_temp(unique_fd fd, const char *tmp_path, const char *target);

// Replaces `path` with `len` bytes of `buf`: the old contents stay whole until
// the new ones are completely on disk, and a link at `path` is replaced, not
// followed.
bool replace_file(const char *path, const void *buf, size_t len, mode_t mode);
