// Helpers shared by the tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vbc::test {

// A fresh directory made current for the life of the object; the modules work in the
// current directory (flash.txt, config.txt, the bootstrap files).
class ScratchDir {
  public:
    ScratchDir() {
        old_ = std::filesystem::current_path();
        // A name nobody has: create_directory fails on one that exists.
        std::random_device random;
        for (int attempt = 0;; ++attempt) {
            if (attempt == 100) std::abort();
            path_ = std::filesystem::temp_directory_path() /
                    ("vbctest." + std::to_string(random()) + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(path_, ec)) break;
        }
        std::filesystem::current_path(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path old_;
    std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A boot that ends in the wait for the bootstrap's acknowledgement has the code 0x000ANN9D, NN
// the bytes read in that wait. Announcements the boot loader repeated before it saw the PC's
// answer are among them, and how many came depends on scheduling: this maps every such code to
// the one with a single further read, and leaves other codes as they are.
inline int WithoutStrayAnnouncements(int code) {
    if ((code & ~0xFF00) == 0x000A009D && (code & 0xFF00) != 0) return 0x000A019D;
    return code;
}

// Joins lines with CR LF after each one.
inline std::string Crlf(std::initializer_list<std::string> lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

}  // namespace vbc::test

#if !defined(_WIN32)
#include "tests/child.h"
#endif
