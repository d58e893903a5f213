// Runs test code inside an install directory, as the supervisor does after
// start-up, and returns to where it was.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "install_dir.h"

class in_install_dir_at {
   public:
    explicit in_install_dir_at(const std::string &path) {
        char cwd[4096];
        old_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
        if (chdir(path.c_str()) != 0) abort();
    }
    ~in_install_dir_at() {
        if (chdir(old_.c_str()) != 0) abort();
    }
    in_install_dir_at(const in_install_dir_at &) = delete;
    in_install_dir_at &operator=(const in_install_dir_at &) = delete;

   private:
    std::string old_;
};

// A fresh install directory with ./tmp/ and ./data/, entered for the test.
class in_install_dir {
   public:
    in_install_dir() : inside_(prepared(dir)) {}
    install_dir dir;

   private:
    static const std::string &prepared(const install_dir &d) {
        mkdir(d.at("tmp").c_str(), 0755);
        mkdir(d.at("data").c_str(), 0755);
        return d.path();
    }
    in_install_dir_at inside_;
};
