#include "platform/files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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
    if (::fsync(::fileno(f)) != 0 && e == 0) e = errno;
    if (std::fclose(f) != 0 && e == 0) e = errno;
    if (e == 0 && std::rename(tmp.c_str(), name) != 0) e = errno;
    if (e != 0) {
        std::remove(tmp.c_str());
        return fail(e);
    }
    return true;
}

std::string SealedCopy(const std::vector<std::uint8_t>& bytes, UniqueFd* holder,
                       std::string* error) {
    // Not close-on-exec: the children inherit it and open it through /dev/fd.
    UniqueFd fd(::memfd_create("vbcflash-image", MFD_ALLOW_SEALING));
    std::size_t done = 0;
    while (fd.Get() >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (fd.Get() < 0 || done != bytes.size() ||
        ::fcntl(fd.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
            0) {
        if (error)
            *error =
                std::string("cannot make a private copy of the image: ") + std::strerror(errno);
        return "";
    }
    const std::string path = "/dev/fd/" + std::to_string(fd.Get());
    *holder = std::move(fd);
    return path;
}

bool AppendFile::Open(const std::string& path, std::string* error) {
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    fd_.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd_.Get() < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    // A new file's name must survive a power cut too.
    if (!existed) {
        std::error_code ec;
        std::string dir = std::filesystem::absolute(path, ec).parent_path().string();
        UniqueFd d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (d.Get() >= 0) ::fsync(d.Get());
    }
    return true;
}

bool AppendFile::Append(const std::string& line, std::string* error) {
    const std::string whole = line + "\n";
    ssize_t n;
    do {
        n = ::write(fd_.Get(), whole.data(), whole.size());
    } while (n < 0 && errno == EINTR);
    // A short write (a full disk) is a failure: the rest would not be one write.
    if (n != static_cast<ssize_t>(whole.size()) || ::fsync(fd_.Get()) != 0) {
        if (error)
            *error = n < 0 || n == static_cast<ssize_t>(whole.size())
                         ? std::string(std::strerror(errno))
                         : "only part of the record could be written";
        return false;
    }
    return true;
}

}  // namespace vbc::platform
