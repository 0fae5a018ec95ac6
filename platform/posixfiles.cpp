#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace vbc::platform::detail {

int SyncToDisk(std::FILE* stream) {
    return ::fsync(::fileno(stream)) == 0 ? 0 : errno;
}

int RenameOver(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? 0 : errno;
}

}  // namespace vbc::platform::detail
