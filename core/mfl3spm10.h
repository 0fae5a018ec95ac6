// The download sequence that runs after the boot.
#pragma once

#include "core/context.h"

namespace vbc {

void _mfl3_0Generic4410(DownloadResult* result, DownloadContext context);
void _mfl3_1DownloadSoftware(DownloadResult* result, DownloadContext context);

}  // namespace vbc
