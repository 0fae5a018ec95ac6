#include "data/mfl56conf.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "core/context.h"
#include "core/resultcodes.h"
#include "data/mfl51loadfile.h"
#include "link/mfl12pclib.h"
#include "platform/files.h"
#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

constexpr const char* kConfigFile = "config.txt";

constexpr const char* kNameKey = "CLA File : ";
constexpr std::size_t kMaxNameLength = kPathSize - 1;
// The longest number text that is read; anything longer is refused.
constexpr std::size_t kMaxNumberLength = 19;

// The highest port number: the port selector and vbcflash-cli offer COM1 to COM255.
constexpr std::int32_t kMaxComPort = 255;

// The number lines, in the order they must follow the name line.
struct NumberLine {
    const char* key;
    std::int32_t DownloadContext::*field;
    std::int32_t max;
    std::int32_t missingCode;  // the key is not at the start of the line
    std::int32_t valueCode;    // the value is above max (or cannot be read)
};

constexpr NumberLine kNumberLines[] = {
    {"COM : ", &DownloadContext::comPort, kMaxComPort, ConfigCode::kBadComLine,
     ConfigCode::kBadComNumber},
    {"PMU : ", &DownloadContext::pmuOption, 1, ConfigCode::kBadPmuLine, ConfigCode::kBadPmuState},
    {"Product Type : ", &DownloadContext::productType, 2, ConfigCode::kBadProductTypeLine,
     ConfigCode::kBadProductType},
    {"Download Type : ", &DownloadContext::downloadType, 4, ConfigCode::kBadDownloadTypeLine,
     ConfigCode::kBadDownloadType},
};

bool KeyAt(const std::uint8_t* data, std::size_t size, std::size_t pos, const char* key) {
    const std::size_t n = std::strlen(key);
    return pos <= size && size - pos >= n && std::memcmp(data + pos, key, n) == 0;
}

// A value runs to the next CR, or to the end of the data.
std::size_t ValueEnd(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    const void* cr = std::memchr(data + pos, '\r', size - pos);
    return cr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(cr) - data) : size;
}

// Reading resumes two bytes after the CR, past its LF.
std::size_t NextLine(std::size_t valueEnd, std::size_t size) {
    return size - valueEnd < 2 ? size : valueEnd + 2;
}

std::size_t SkipLine(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    return lf ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data) + 1 : size;
}

// The decimal conversion of atoi (leading white space, optional sign, digits up to the first
// non-digit, 0 without digits), except that a number outside the int32 range is refused
// instead of being undefined.
bool ToInt32(const std::uint8_t* text, std::size_t length, std::int32_t* value) {
    std::size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t magnitude = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > std::int64_t{1} << 31) return false;
    }
    const std::int64_t v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX) return false;
    *value = static_cast<std::int32_t>(v);
    return true;
}

// Shows value in a selector of the main panel. A value the selector has no entry for (a port
// above those it lists, product type 0) gets one, labelled label, so the panel shows the
// setting the job will use rather than the one it showed before.
void ShowInSelector(int control, std::int32_t value, const char* label) {
    if (SetCtrlVal(_v_Panel, control, value) != kUiErrOutOfRange) return;
    if (InsertListItem(_v_Panel, control, -1, label, value) < 0) return;
    SetCtrlVal(_v_Panel, control, value);
}

// Applies the record that starts at pos: the name line and the four number lines.
std::int32_t ApplyRecord(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    DownloadContext& context = _sg_DownloadContext;

    if (!KeyAt(data, size, pos, kNameKey)) return ConfigCode::kNoSoftwareFile;
    pos += std::strlen(kNameKey);
    std::size_t end = ValueEnd(data, size, pos);
    if (end - pos > kMaxNameLength) return ConfigCode::kNoSoftwareFile;
    std::memcpy(context.claFileName, data + pos, end - pos);
    context.claFileName[end - pos] = '\0';
    pos = NextLine(end, size);
    _mfl51_0InitLoadFile();

    for (const NumberLine& line : kNumberLines) {
        if (!KeyAt(data, size, pos, line.key)) return line.missingCode;
        pos += std::strlen(line.key);
        end = ValueEnd(data, size, pos);
        std::int32_t value = 0;
        if (end - pos > kMaxNumberLength || !ToInt32(data + pos, end - pos, &value)) {
            return line.valueCode;
        }
        // Stored before it is tested: a rejected value stays in the context.
        context.*line.field = value;
        if (value > line.max) return line.valueCode;
        pos = NextLine(end, size);
        char label[32];
        if (line.field == &DownloadContext::comPort) {
            std::snprintf(label, sizeof label, "COM%d", value);
            ShowInSelector(MAIN_PORT, value, label);
        } else if (line.field == &DownloadContext::productType) {
            std::snprintf(label, sizeof label, "Type %d", value);
            ShowInSelector(MAIN_PRODUCT_TYPE, value, label);
        }
    }
    return kStatusOk;
}

// Reads the record that starts at pos, with the panel locked until all of it is applied.
std::int32_t ReadRecord(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    HoldPanelLock();
    const std::int32_t status = ApplyRecord(data, size, pos);
    ReleasePanelLock();
    if (status != kStatusOk) return status;
    SetCtrlAttribute(_v_Panel, MAIN_DOWNLOAD_CONFIG, ATTR_DIMMED, 0);
    SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, 0);
    return kStatusOk;
}

}  // namespace

std::string ConfigFilePath() {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(kConfigFile, ec);
    return ec ? std::string(kConfigFile) : path.string();
}

std::int32_t _mfl56_1SaveConfig() {
    const DownloadContext& context = _sg_DownloadContext;
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  "COM : %d\r\nPMU : %d\r\nProduct Type : %d\r\nDownload Type : %d\r\n",
                  context.comPort, context.pmuOption, context.productType, context.downloadType);
    // Lines end with CR LF on every platform: the reader relies on them.
    std::string bytes =
        "* ***********************\r\n"
        "* Configuration save file\r\n"
        "* ***********************\r\n";
    bytes += kNameKey;
    bytes.append(context.claFileName, strnlen(context.claFileName, kPathSize));
    bytes += "\r\n";
    bytes += numbers;
    return platform::WriteFileAtomically(kConfigFile, bytes) ? kStatusOk
                                                             : ConfigCode::kNoConfigFile;
}

std::int32_t _mfl56_0RestoreConfig() {
    // Sized first: only a regular file has a size, and opening anything else (a pipe) could
    // wait for ever.
    std::int32_t size = 0;
    if (_mfl12_2CalculateLengthOfFile(kConfigFile, &size) != kStatusOk)
        return ConfigCode::kNoConfigFile;
    if (!platform::FileCanOpen(kConfigFile)) return ConfigCode::kNoConfigFile;
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[size + 1u]);
    if (!data) return ConfigCode::kNoConfigFile;
    if (!platform::FileToArray(kConfigFile, data.get(), static_cast<std::size_t>(size))) {
        return ConfigCode::kNoConfigFile;
    }
    return RestoreConfigFromData(data.get(), static_cast<std::size_t>(size));
}

std::int32_t RestoreConfigFromData(const std::uint8_t* data, std::size_t size) {
    if (!data) size = 0;
    std::size_t pos = 0;
    while (pos < size) {
        if (data[pos] == '*' || data[pos] == '\r') {
            pos = SkipLine(data, size, pos);
        } else {
            return ReadRecord(data, size, pos);
        }
    }
    // Comment and empty lines only: nothing to restore.
    return kStatusOk;
}

}  // namespace vbc
