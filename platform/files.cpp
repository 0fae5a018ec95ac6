#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace vbc::platform {

bool FileCanOpen(const char* name) {
    std::FILE* f = std::fopen(name, "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

int GetFileInfo(const char* name, std::int64_t* size) {
    struct stat st {};
    if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (size) *size = static_cast<std::int64_t>(st.st_size);
    return 1;
}

bool ReadWholeFile(const char* name, std::vector<std::uint8_t>& out) {
    out.clear();
    std::FILE* f = std::fopen(name, "rb");
    if (!f) return false;
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool FileToArray(const char* name, std::uint8_t* buffer, std::size_t count) {
    std::FILE* f = std::fopen(name, "rb");
    if (!f) return false;
    std::size_t got = count ? std::fread(buffer, 1, count, f) : 0;
    std::fclose(f);
    return got == count;
}

bool WriteFileAtomically(const char* name, const std::string& bytes) {
    std::string tmp = std::string(name) + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (::fsync(::fileno(f)) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), name) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace vbc::platform
