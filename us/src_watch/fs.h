// Owners for descriptors and cJSON trees, and file replacement that a crash
// or a full disk can never leave half-done.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <ctime>
#include <memory>

#include "libutil/cJSON.h"

class unique_fd {
   public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
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

// Opens `path` read-only without following a symbolic link and without
// blocking on a FIFO; succeeds only for a regular file.
unique_fd open_regular_file(const char *path);

// Creates a new, uniquely named file beside `target` (exclusively, never
// through a link) with `mode` before the umask. `tmp_path` receives its name.
unique_fd create_temp_beside(const char *target, mode_t mode, char *tmp_path, size_t tmp_size);

// Makes the temporary file `tmp_path` durable and renames it over `target`,
// then makes the rename durable. Removes the temporary file on failure.
bool commit_temp(unique_fd fd, const char *tmp_path, const char *target);

// Replaces `path` with `len` bytes of `buf`: the old contents stay whole until
// the new ones are completely on disk, and a link at `path` is replaced, not
// followed.
bool replace_file(const char *path, const void *buf, size_t len, mode_t mode);

// The current calendar time in seconds, as time() gives it. time() is an
// indirect function: binding at load (-z now) runs its resolver, a page of
// libc code, in every supervisor at start-up. clock_gettime() is a plain call.
inline time_t wall_clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}
