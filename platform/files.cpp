#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>
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
    return WriteFileAtomically(name, bytes, nullptr);
}

bool WriteFileAtomically(const char* name, const std::string& bytes, int* error) {
    // The first failure's reason: the clean-up below may set errno again.
    auto fail = [error](int e) {
        if (error) *error = e != 0 ? e : EIO;
        return false;
    };
    std::string tmp = std::string(name) + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return fail(errno);
    int e = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() && e == 0) e = errno;
    if (std::fflush(f) != 0 && e == 0) e = errno;
    if (int r = detail::SyncToDisk(f); r != 0 && e == 0) e = r;
    if (std::fclose(f) != 0 && e == 0) e = errno;
    if (e == 0) e = detail::RenameOver(tmp.c_str(), name);
    if (e != 0) {
        std::remove(tmp.c_str());
        return fail(e);
    }
    return true;
}

}  // namespace vbc::platform
