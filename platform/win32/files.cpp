#include <io.h>
#include <windows.h>

#include <cerrno>
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

}  // namespace vbc::platform::detail
