// Fuzzes the config.txt reader: the in-memory restore, with the software-file load it starts.
// Run it in an empty directory: a name the reader restores is loaded from there.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/context.h"
#include "data/mfl56conf.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Above every bound the reader accepts, so a value the reader stored is told apart.
constexpr std::int32_t kComBefore = 1000;
// The highest port a restore takes (COM255, as the CLI's --port).
constexpr std::int32_t kMaxCom = 255;
constexpr std::int32_t kPmuBefore = 1001;
constexpr std::int32_t kProductBefore = 1002;
constexpr std::int32_t kDownloadBefore = 1003;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vbc;
    if (size > (1u << 16)) return -1;
    ResetDownloadContext();
    DownloadContext& c = _sg_DownloadContext;
    c.comPort = kComBefore;
    c.pmuOption = kPmuBefore;
    c.productType = kProductBefore;
    c.downloadType = kDownloadBefore;
    std::memset(c.claFileName, 'q', sizeof c.claFileName - 1);
    c.claFileName[sizeof c.claFileName - 1] = '\0';

    const std::int32_t status = RestoreConfigFromData(data, size);
    Check(status == 1 || status == 3 || status == 5 || status == 6 || status == 9 || status == 10 ||
              status == 11 || status == 12 || status == 13 || status == 14,
          "restore status");
    Check(std::memchr(c.claFileName, '\0', sizeof c.claFileName) != nullptr, "name terminated");
    // A load that failed leaves no image behind under an emptied name.
    Check(c.fileBuffer == nullptr || c.claFileName[0] != '\0', "image without a name");
    Check(c.fileSize >= 0, "file size");

    // The record is read line by line: a field changes only when every line before it passed.
    const bool com = c.comPort != kComBefore;
    const bool pmu = c.pmuOption != kPmuBefore;
    const bool product = c.productType != kProductBefore;
    const bool download = c.downloadType != kDownloadBefore;
    Check(!pmu || (com && c.comPort <= kMaxCom), "PMU read after a bad COM line");
    Check(!product || (pmu && c.pmuOption <= 1), "product type read after a bad PMU line");
    Check(!download || (product && c.productType <= 2),
          "download type read after a bad product-type line");
    switch (status) {
        case 1:
            // Either no record at all, or a whole one within the bounds.
            Check((!com && !pmu && !product && !download) ||
                      (c.comPort <= kMaxCom && c.pmuOption <= 1 && c.productType <= 2 &&
                       c.downloadType <= 4 && download),
                  "success leaves a whole record or none");
            break;
        case 3:
            Check(!com && !pmu && !product && !download, "no number after a bad name line");
            break;
        case 5:
            Check(!pmu && !product && !download, "nothing after COM");
            break;
        case 9:
            Check(com && !product && !download, "nothing after PMU");
            break;
        case 11:
            Check(pmu && !download, "nothing after the product type");
            break;
        case 13:
            Check(product, "download type after the product type");
            break;
        default:
            break;
    }
    ResetDownloadContext();
    return 0;
}
