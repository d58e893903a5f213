// Shared set-up for the harnesses: each runs inside its own fresh install
// directory on tmpfs, as the supervisor runs inside its install directory.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fs.h"

inline void enter_scratch_install_dir() {
    static bool done = false;
    if (done) return;
    // Under $TMPDIR, which the caller removes: runs side by side never meet.
    const char *parent = getenv("TMPDIR");
    std::string dir = std::string(parent ? parent : "/tmp") + "/wdfuzz.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) abort();
    mkdir("tmp", 0755);
    mkdir("data", 0755);
    done = true;
}

inline void put_file(const char *path, const uint8_t *data, size_t size) {
    unlink(path);
    const unique_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd.valid() || !write_all(fd.get(), data, size)) abort();
}

inline std::string get_file(const char *path) {
    const unique_fd fd(open(path, O_RDONLY));
    std::string text;
    char buf[4096];
    for (ssize_t n; fd.valid() && (n = read(fd.get(), buf, sizeof buf)) > 0;) text.append(buf, n);
    return text;
}
