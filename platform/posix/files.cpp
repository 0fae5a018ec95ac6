#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

struct SealedImage::State {
    UniqueFd fd;
    std::string path;
};

SealedImage::SealedImage() : state_(std::make_unique<State>()) {}
SealedImage::~SealedImage() = default;
SealedImage::SealedImage(SealedImage&& other) noexcept = default;
SealedImage& SealedImage::operator=(SealedImage&& other) noexcept = default;

const std::string& SealedImage::Path() const {
    static const std::string none;
    return state_ ? state_->path : none;
}

int SealedImage::InheritedFd() const {
    return state_ ? state_->fd.Get() : -1;
}

bool SealedImage::Make(const std::vector<std::uint8_t>& bytes, std::string* error) {
    if (!state_) state_ = std::make_unique<State>();
    // Not close-on-exec: the children inherit it and open it through /dev/fd.
    UniqueFd fd(::memfd_create("vbcflash-image", MFD_ALLOW_SEALING));
    // Never one of the standard descriptors (one left closed by whoever started us): a child's
    // own standard input or output would take its place.
    if (fd.Get() >= 0 && fd.Get() <= STDERR_FILENO) fd.Reset(::fcntl(fd.Get(), F_DUPFD, 3));
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
        return false;
    }
    state_->path = "/dev/fd/" + std::to_string(fd.Get());
    state_->fd = std::move(fd);
    return true;
}

namespace {

// Where the file's whole lines end: past its last newline (0 when it has none).
bool EndOfWholeLines(int fd, off_t size, off_t* end) {
    char chunk[4096];
    for (off_t pos = size; pos > 0;) {
        const off_t from = pos > static_cast<off_t>(sizeof chunk) ? pos - sizeof chunk : 0;
        const ssize_t n = ::pread(fd, chunk, static_cast<std::size_t>(pos - from), from);
        if (n != pos - from) return false;
        for (ssize_t i = n; i > 0; --i) {
            if (chunk[i - 1] == '\n') {
                *end = from + i;
                return true;
            }
        }
        pos = from;
    }
    *end = 0;
    return true;
}

}  // namespace

struct AppendFile::State {
    UniqueFd fd;
};

AppendFile::AppendFile() : state_(std::make_unique<State>()) {}
AppendFile::~AppendFile() = default;

bool AppendFile::Open(const std::string& path, std::string* error, std::size_t* tornBytes) {
    if (tornBytes) *tornBytes = 0;
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        state_->fd.Reset();
        return false;
    };
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    // Not blocking: a FIFO without a reader would hold the open until one came.
    state_->fd.Reset(::open(path.c_str(),
                            O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
    if (state_->fd.Get() < 0) return fail(std::strerror(errno));
    struct stat st {};
    if (::fstat(state_->fd.Get(), &st) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(
            "not a regular file (a FIFO, a device or a socket): the log must be a file on a disk");
    ::fcntl(state_->fd.Get(), F_SETFL, ::fcntl(state_->fd.Get(), F_GETFL) & ~O_NONBLOCK);
    off_t whole = st.st_size;
    if (!EndOfWholeLines(state_->fd.Get(), st.st_size, &whole))
        return fail(std::string("cannot read its last line: ") + std::strerror(errno));
    if (whole != st.st_size) {
        if (::ftruncate(state_->fd.Get(), whole) != 0 || ::fsync(state_->fd.Get()) != 0)
            return fail(std::string("cannot cut off its torn last line: ") + std::strerror(errno));
        if (tornBytes) *tornBytes = static_cast<std::size_t>(st.st_size - whole);
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
        n = ::write(state_->fd.Get(), whole.data(), whole.size());
    } while (n < 0 && errno == EINTR);
    const int writeError = errno;
    if (n == static_cast<ssize_t>(whole.size())) {
        if (::fsync(state_->fd.Get()) == 0) return true;
        if (error) *error = std::strerror(errno);
        return false;
    }
    // A short write (a full disk, a file-size limit) leaves part of the line: take it back, or
    // the next record would be appended onto the fragment.
    struct stat st {};
    bool takenBack = n <= 0;
    if (n > 0 && ::fstat(state_->fd.Get(), &st) == 0 && st.st_size >= n)
        takenBack =
            ::ftruncate(state_->fd.Get(), st.st_size - n) == 0 && ::fsync(state_->fd.Get()) == 0;
    if (error) {
        *error = n < 0 ? std::string(std::strerror(writeError))
                       : "only part of the record could be written (the disk is full, or the "
                         "file has reached its size limit)";
        if (!takenBack) *error += "; the part written could not be taken back";
    }
    return false;
}

}  // namespace vbc::platform
