#include "fs.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>


bool write_all(int fd, const void *buf, size_t len, size_t *written) {
    auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    bool ok = true;
    while (done < len) {
        const ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written != nullptr) *written = done;
    return ok;
}

ssize_t read_full(int fd, void *buf, size_t len) {
    auto *p = static_cast<char *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = read(fd, p + got, len - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

unique_fd open_exposed(const char *path, int flags, mode_t mode) {
    flags &= ~O_TRUNC;
    unique_fd fd(open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode));
    // A regular file another process holds a lease on: the open asked it to
    // let go, which one that answers does at once; one that does not loses
    // the lease only after the kernel's break time (45 s), too long to wait.
    for (int tries = 0; !fd.valid() && errno == EWOULDBLOCK && tries < 20; ++tries) {
        constexpr timespec pause{0, 50'000'000};
        nanosleep(&pause, nullptr);
        fd.reset(open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode));
    }
    if (!fd.valid()) return fd;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return unique_fd();
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return unique_fd();
    }
    if ((flags & O_ACCMODE) != O_RDONLY && st.st_nlink != 1) {
        errno = EMLINK;
        return unique_fd();
    }
    // Reads and writes of a regular file never block: a clean state.
    const int status = fcntl(fd.get(), F_GETFL);
    if (status >= 0) fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

unique_fd open_own(const char *path, int flags, mode_t mode) {
    unique_fd fd = open_exposed(path, flags | O_CREAT, mode);
    if (!fd.valid() && errno == ENOENT) {  // its directory was removed: made again
        char dir[8300];
        snprintf(dir, sizeof dir, "%s", path);
        if (mkdir(dirname(dir), 0777 & ~S_IWOTH) == 0) fd = open_exposed(path, flags | O_CREAT, mode);
    }
    if (fd.valid() || (!refused_for_kind(errno) && errno != EACCES && errno != EWOULDBLOCK)) return fd;
    if (unlink(path) != 0) return fd;
    return open_exposed(path, flags | O_CREAT | O_EXCL, mode);
}

bool names_file(int fd, const char *path) {
    struct stat held {}, named {};
    return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

bool still_at(int fd, const char *path) {
    struct stat held {};
    return names_file(fd, path) && fstat(fd, &held) == 0 && held.st_nlink == 1;
}

unique_fd open_exposed_dir(int at, const char *name, int flags) {
    return unique_fd(openat(at, name, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

unique_fd open_plain(const char *path, int flags) {
    return unique_fd(open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

dir_ptr open_listing(const char *path) {
    unique_fd fd = open_plain(path, O_RDONLY | O_DIRECTORY);
    DIR *dir = fd.valid() ? fdopendir(fd.get()) : nullptr;
    if (dir != nullptr) fd.release();
    return dir_ptr(dir);
}

bool refused_for_kind(int err) {
    return err == ELOOP || err == EINVAL || err == ENXIO || err == EMLINK;
}

const char *refusal_text(int err) {
    return err == ELOOP ? "a symbolic link" : err == EINVAL || err == ENXIO ? "not a regular file" : err == EMLINK ? "a file with other hard links"
           : err == EFBIG ? "too large" : err == EWOULDBLOCK ? "held under another process's lease" : strerror(err);
}

heap_text read_capped(int fd, size_t cap, size_t *len) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return nullptr;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > cap) {
        errno = EFBIG;
        return nullptr;
    }
    const auto size = static_cast<size_t>(st.st_size);
    heap_text text(static_cast<char *>(malloc(size + 1)));
    if (!text) return nullptr;
    const ssize_t got = read_full(fd, text.get(), size);
    if (got < 0) return nullptr;
    text.get()[got] = '\0';
    if (len != nullptr) *len = static_cast<size_t>(got);
    return text;
}

static bool sync_directory_of(const char *path) {
    char copy[8300];
    snprintf(copy, sizeof copy, "%s", path);
    const unique_fd dir = open_plain(dirname(copy), O_RDONLY | O_DIRECTORY);
    return dir.valid() && fsync(dir.get()) == 0;
}

unique_fd create_temp_beside(const char *target, mode_t mode, char *tmp_path, size_t tmp_size) {
    // A new file of ours (O_EXCL), so it needs none of open_exposed's checks;
    // a unique name, so that one left behind by a crash blocks nothing.
    const int n = snprintf(tmp_path, tmp_size, "%s.tmpXXXXXX", target);
    if (n < 0 || static_cast<size_t>(n) >= tmp_size) return errno = ENAMETOOLONG, unique_fd();
    unique_fd fd(mkostemp(tmp_path, O_CLOEXEC));
    const mode_t mask = umask(0);
    umask(mask);
    if (fd.valid()) fchmod(fd.get(), mode & ~mask & ~S_IWOTH);
    return fd;
}

bool discard_temp(const char *tmp_path) {
    const int saved = errno;
    unlink(tmp_path);
    errno = saved;
    return false;
}

bool commit_temp(unique_fd fd, const char *tmp_path, const char *target) {
    if (fsync(fd.get()) != 0 || close(fd.release()) != 0 || rename(tmp_path, target) != 0) return discard_temp(tmp_path);
    sync_directory_of(target);
    return true;
}

bool replace_file(const char *path, const void *buf, size_t len, mode_t mode) {
    char tmp[8300];
    unique_fd fd = create_temp_beside(path, mode, tmp, sizeof tmp);
    if (!fd.valid()) return false;
    return write_all(fd.get(), buf, len) ? commit_temp(std::move(fd), tmp, path) : discard_temp(tmp);
}
