#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

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

namespace {

// A new file beside name for its next contents: "NAME.XXXXXXXX.tmp", the X's drawn at random
// until a name nobody has comes up. path receives its name.
std::FILE* CreateTemporaryBeside(const char* name, std::string* path, int* error) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    thread_local std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    int e = EEXIST;
    for (int attempt = 0; attempt < 100 && e == EEXIST; ++attempt) {
        std::uint64_t draw = random();
        std::string tag(8, '0');
        for (char& c : tag) {
            c = kDigits[draw % 36];
            draw /= 36;
        }
        *path = std::string(name) + "." + tag + ".tmp";
        if (std::FILE* f = detail::CreateExclusive(path->c_str(), &e)) return f;
    }
    *error = e;
    return nullptr;
}

// 0 when WriteFileAtomically may put a file in name's place (a regular file or nothing is
// there), else the error it answers with.
int ReplaceableError(const char* name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    switch (fs::symlink_status(name, ec).type()) {
        case fs::file_type::symlink:
            return ELOOP;
        case fs::file_type::directory:
            return EISDIR;
        case fs::file_type::regular:
        case fs::file_type::not_found:
        case fs::file_type::none:  // unknown: creating the file beside it tells
            return 0;
        default:
            return EINVAL;
    }
}

}  // namespace

bool WriteFileAtomically(const char* name, const std::string& bytes) {
    return WriteFileAtomically(name, bytes, nullptr);
}

bool WriteFileAtomically(const char* name, const std::string& bytes, int* error) {
    // The first failure's reason: the clean-up below may set errno again.
    auto fail = [error](int e) {
        if (error) *error = e != 0 ? e : EIO;
        return false;
    };
    if (const int refused = ReplaceableError(name); refused != 0) return fail(refused);
    std::string tmp;
    int e = 0;
    std::FILE* f = CreateTemporaryBeside(name, &tmp, &e);
    if (!f) return fail(e);
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

std::string AtomicWriteErrorText(int error) {
    switch (error) {
        case ELOOP:
            return "it is a symbolic link, which is neither replaced nor written through: name "
                   "the file itself";
        case EINVAL:
            return "it is not a regular file (a device, a FIFO or a socket)";
        default:
            return std::error_code(error != 0 ? error : EIO, std::generic_category()).message();
    }
}

std::string AtomicWriteProblem(const char* name) {
    switch (const int refused = ReplaceableError(name)) {
        case 0:
            break;
        case EISDIR:
            return "it is a directory";
        default:
            return AtomicWriteErrorText(refused);
    }
    std::string tmp;
    int e = 0;
    std::FILE* f = CreateTemporaryBeside(name, &tmp, &e);
    if (!f) return std::error_code(e != 0 ? e : EIO, std::generic_category()).message();
    std::fclose(f);
    std::remove(tmp.c_str());
    return "";
}

}  // namespace vbc::platform
