#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/files.h"

namespace vbc::platform::detail {

int SyncToDisk(std::FILE* stream) {
    return ::fsync(::fileno(stream)) == 0 ? 0 : errno;
}

int RenameOver(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? 0 : errno;
}

std::FILE* CreateExclusive(const char* path, int* error) {
    const int fd =
        ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (f) return f;
    *error = errno;
    if (fd >= 0) {
        ::close(fd);
        ::unlink(path);
    }
    return nullptr;
}

}  // namespace vbc::platform::detail

namespace vbc::platform {

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
