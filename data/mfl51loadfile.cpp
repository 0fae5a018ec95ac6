#include "data/mfl51loadfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "core/context.h"
#include "core/resultcodes.h"
#include "link/mfl12pclib.h"
#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

void ReleaseImage(DownloadContext& context) {
    std::free(context.fileBuffer);
    context.fileBuffer = nullptr;
    context.fileSize = 0;
}

// Replaces the image with the named file's bytes: 1, or the failure code. On failure the
// previous image may already be gone; the caller releases whatever is left.
std::int32_t LoadImage(DownloadContext& context) {
    context.claFileHandle = -1;
    // Only a regular file has a size to read: a pipe or a device would block the open or the
    // read for as long as nobody writes to it.
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(context.claFileName, ec);
    if (!std::filesystem::exists(st)) return LibPcCode::kFileNotFound;
    if (!std::filesystem::is_regular_file(st)) return LibPcCode::kFileSizeError;
    std::FILE* file = std::fopen(context.claFileName, "rb");
    if (!file) return LibPcCode::kFileNotFound;
    context.claFileHandle = fileno(file);

    std::int32_t size = 0;
    std::int32_t status = _mfl12_2CalculateLengthOfFile(context.claFileName, &size);
    if (status == kStatusOk) {
        ReleaseImage(context);
        // One more byte than the file, so an empty file still has a buffer.
        auto* buffer = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(size) + 1u));
        if (!buffer) {
            status = LibPcCode::kFileSizeError;
        } else if (std::fread(buffer, 1, static_cast<std::size_t>(size), file) !=
                   static_cast<std::size_t>(size)) {
            // The file shrank or could not be read after it was sized: its size was wrong.
            std::free(buffer);
            status = LibPcCode::kFileSizeError;
        } else {
            buffer[size] = 0;
            context.fileBuffer = buffer;
            context.fileSize = size;
        }
    }
    // Nothing uses the handle after the load; keeping the file open would only leak it.
    std::fclose(file);
    return status;
}

}  // namespace

void _mfl51_0InitLoadFile() {
    DownloadContext& context = _sg_DownloadContext;
    context.claFileName[kPathSize - 1] = '\0';

    ResetTextBox(_v_Panel, MAIN_FILE_NAME, "");
    InsertTextBoxLine(_v_Panel, MAIN_FILE_NAME, 0, context.claFileName);
    AddCommentLine("Software file loading, please wait... ");
    _mfl52_5LockDuringDownload();

    std::int32_t status = kStatusOk;
    if (context.claFileName[0] == '\0') {
        // No file named (an empty name restored from config.txt): nothing to report, but no
        // image may stay loaded either.
        status = LibPcCode::kFileNotFound;
        context.claFileHandle = -1;
    } else {
        status = LoadImage(context);
        if (status != kStatusOk) _mfl52_10DisplayResult(ResultLibPc, status);
    }

    if (status == kStatusOk) SetCtrlVal(_v_Panel, MAIN_FILE_SIZE, context.fileSize);
    // The next file selection starts where this file was, loaded or not.
    _mfl12_6InitializeDefaultPath(context.defaultPath, context.claFileName);
    if (status != kStatusOk) {
        // Start must refuse until a file loads, rather than write an image that does not
        // come from the file named on the panel. The name stays: the file may be back in a
        // moment, and a Save must not lose it.
        ReleaseImage(context);
        if (context.claFileName[0] == '\0') ResetTextBox(_v_Panel, MAIN_FILE_NAME, "");
        SetCtrlVal(_v_Panel, MAIN_FILE_SIZE, 0);
    }

    _mfl52_6UnlockAfterDownload();
}

}  // namespace vbc
