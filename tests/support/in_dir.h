// Runs a test inside a fresh install directory (with ./tmp/ and ./data/), as
// the supervisor does after start-up, and returns to where it was.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "install_dir.h"

class in_install_dir {
   public:
    in_install_dir() {
        char cwd[4096];
        old_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
        mkdir(dir.at("tmp").c_str(), 0755);
        mkdir(dir.at("data").c_str(), 0755);
        if (chdir(dir.path().c_str()) != 0) abort();
    }
    ~in_install_dir() {
        if (chdir(old_.c_str()) != 0) abort();
    }
    install_dir dir;

   private:
    std::string old_;
};
