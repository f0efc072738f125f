// Test support: captures what the process writes to standard output (file descriptor 1)
// between construction and finish(), by pointing the descriptor at a temporary file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vireo::test {

class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/vireo_stdout_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) throw std::runtime_error("cannot create capture file");
        path_ = name;
        saved_ = dup(STDOUT_FILENO);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutCapture() { restore(); }

    // Restores standard output and returns everything written meanwhile.
    std::string finish() {
        restore();
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        std::remove(path_.c_str());
        return text.str();
    }

    // The captured text split into lines (without the line endings).
    std::vector<std::string> lines() {
        std::vector<std::string> result;
        std::istringstream in(finish());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }

    std::string path_;
    int saved_ = -1;
};

}  // namespace vireo::test
