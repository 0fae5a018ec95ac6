#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

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
