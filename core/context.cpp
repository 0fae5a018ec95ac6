#include "core/context.h"

#include <cstdlib>

namespace vbc {

DownloadContext _sg_DownloadContext;

void ResetDownloadContext() {
    std::free(_sg_DownloadContext.fileBuffer);
    _sg_DownloadContext = DownloadContext{};
}

}  // namespace vbc
