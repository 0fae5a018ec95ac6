#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"

namespace vbc::platform::detail {
namespace {

std::wstring Widen(const char* s) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    return w;
}

}  // namespace

int SyncToDisk(std::FILE* stream) {
    return ::_commit(::_fileno(stream)) == 0 ? 0 : errno;
}

int RenameOver(const char* from, const char* to) {
    // The C library's rename refuses an existing target on Windows.
    if (::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    switch (::GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

std::FILE* CreateExclusive(const char* path, int* error) {
    // CREATE_NEW: never a file (nor a link) that is already there.
    const HANDLE h = ::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        switch (::GetLastError()) {
            case ERROR_FILE_EXISTS:
            case ERROR_ALREADY_EXISTS:
                *error = EEXIST;
                break;
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                *error = EACCES;
                break;
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                *error = ENOENT;
                break;
            case ERROR_DISK_FULL:
                *error = ENOSPC;
                break;
            default:
                *error = EIO;
                break;
        }
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        ::DeleteFileW(Widen(path).c_str());
        *error = EIO;
        return nullptr;
    }
    std::FILE* f = ::_fdopen(fd, "wb");
    if (!f) {
        ::_close(fd);
        ::DeleteFileW(Widen(path).c_str());
        *error = EIO;
    }
    return f;
}

}  // namespace vbc::platform::detail

namespace vbc::platform {
namespace {

// The system's text for an error code, without its full stop.
std::string SystemText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring w = n ? std::wstring(text, n) : std::wstring();
    if (text) ::LocalFree(text);
    while (!w.empty() &&
           (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ' || w.back() == L'.'))
        w.pop_back();
    if (w.empty()) return "system error " + std::to_string(code);
    const int size = static_cast<int>(w.size());
    const int m = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), size, narrow.data(), m, nullptr, nullptr);
    return narrow;
}

std::string ErrorText(const char* what, DWORD code) {
    return std::string(what) + ": " + SystemText(code);
}

std::string LastError(const char* what) {
    return ErrorText(what, ::GetLastError());
}

// Reads or writes count bytes at offset (a synchronous handle). False when fewer went.
bool ReadAt(HANDLE h, std::uint64_t offset, void* buffer, DWORD count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    return ::ReadFile(h, buffer, count, &n, &at) && n == count;
}

bool Truncate(HANDLE h, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end) &&
           ::FlushFileBuffers(h);
}

std::uint64_t SizeOf(HANDLE h) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(h, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

}  // namespace

struct SealedImage::State {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring widePath;
    std::string path;
    ~State() {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        if (!widePath.empty()) ::DeleteFileW(widePath.c_str());
    }
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
    return -1;  // the workers open it by name
}

bool SealedImage::Make(const std::vector<std::uint8_t>& bytes, std::string* error) {
    state_ = std::make_unique<State>();
    auto fail = [&](const std::string& why) {
        if (error) *error = "cannot make a private copy of the image: " + why;
        state_ = std::make_unique<State>();
        return false;
    };
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return fail(LastError("no temporary folder"));
    static unsigned serial = 0;
    State& s = *state_;
    s.widePath = std::wstring(folder) + L"vbcflash-image-" +
                 std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++serial) +
                 L".cla";
    // A name nobody has: never a file or a link planted there.
    HANDLE out = ::CreateFileW(s.widePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        const std::string why = LastError("cannot create it in the temporary folder");
        s.widePath.clear();
        return fail(why);
    }
    bool written = true;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD n = 0;
        written = ::WriteFile(out, bytes.data() + done, chunk, &n, nullptr) && n == chunk;
        done += n;
    }
    const DWORD writeError = ::GetLastError();
    ::CloseHandle(out);
    if (!written) return fail(ErrorText("cannot write it", writeError));
    // Held with read sharing only: from now on nobody opens it to write, rename or delete it.
    s.file = ::CreateFileW(s.widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file == INVALID_HANDLE_VALUE) return fail(LastError("cannot hold it open"));
    // What the workers will read is what the caller hashes: read it back under the lock.
    std::vector<std::uint8_t> back(bytes.size());
    if (SizeOf(s.file) != bytes.size() ||
        (!bytes.empty() && !ReadAt(s.file, 0, back.data(), static_cast<DWORD>(back.size()))) ||
        back != bytes)
        return fail("it changed before it could be locked");
    const int size = static_cast<int>(s.widePath.size());
    const int m =
        ::WideCharToMultiByte(CP_UTF8, 0, s.widePath.data(), size, nullptr, 0, nullptr, nullptr);
    s.path.assign(static_cast<std::size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, s.widePath.data(), size, s.path.data(), m, nullptr, nullptr);
    return true;
}

struct AppendFile::State {
    HANDLE file = INVALID_HANDLE_VALUE;
    ~State() { Close(); }
    void Close() {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
};

AppendFile::AppendFile() : state_(std::make_unique<State>()) {}
AppendFile::~AppendFile() = default;

bool AppendFile::Open(const std::string& path, std::string* error, std::size_t* tornBytes) {
    if (tornBytes) *tornBytes = 0;
    State& s = *state_;
    s.Close();
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        s.Close();
        return false;
    };
    // Shared for reading and appending: a report may read it, another station append to it.
    s.file = ::CreateFileW(
        detail::Widen(path.c_str()).c_str(), GENERIC_READ | FILE_WRITE_DATA | FILE_APPEND_DATA,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file == INVALID_HANDLE_VALUE) return fail(SystemText(::GetLastError()));
    if (::GetFileType(s.file) != FILE_TYPE_DISK)
        return fail("not a regular file (a pipe or a device): the log must be a file on a disk");
    const std::uint64_t size = SizeOf(s.file);
    // Where the whole lines end: past the last newline.
    std::uint64_t whole = 0;
    char chunk[4096];
    for (std::uint64_t pos = size; pos > 0 && whole == 0;) {
        const std::uint64_t from = pos > sizeof chunk ? pos - sizeof chunk : 0;
        if (!ReadAt(s.file, from, chunk, static_cast<DWORD>(pos - from)))
            return fail(LastError("cannot read its last line"));
        for (std::uint64_t i = pos - from; i > 0; --i) {
            if (chunk[i - 1] == '\n') {
                whole = from + i;
                break;
            }
        }
        pos = from;
    }
    if (whole != size) {
        if (!Truncate(s.file, whole)) return fail(LastError("cannot cut off its torn last line"));
        if (tornBytes) *tornBytes = static_cast<std::size_t>(size - whole);
    }
    return true;
}

bool AppendFile::Append(const std::string& line, std::string* error) {
    State& s = *state_;
    const std::string whole = line + "\n";
    // At the end of the file as it is at the write, in one write: never into another
    // appender's line.
    OVERLAPPED atEnd{};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD n = 0;
    const BOOL ok = ::WriteFile(s.file, whole.data(), static_cast<DWORD>(whole.size()), &n, &atEnd);
    const DWORD writeError = ::GetLastError();
    if (ok && n == whole.size()) {
        if (::FlushFileBuffers(s.file)) return true;
        if (error) *error = SystemText(::GetLastError());
        return false;
    }
    // Part of the line went (a full disk): take it back, or the next record would be appended
    // onto the fragment.
    bool takenBack = n == 0;
    if (n > 0) {
        const std::uint64_t size = SizeOf(s.file);
        takenBack = size >= n && Truncate(s.file, size - n);
    }
    if (error) {
        *error = n == 0 ? SystemText(writeError)
                        : "only part of the record could be written (the disk is full, or the "
                          "file has reached its size limit)";
        if (!takenBack) *error += "; the part written could not be taken back";
    }
    return false;
}

}  // namespace vbc::platform
