#include "cli/jsonreport.h"

#include <cmath>

#include "core/version.h"
#include "toolkit/uiresources.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc::cli {
namespace {

// The message the operator reads for a result: the message panel's text, or for the panels
// with a fixed text (success, the boot's time-out) that text.
std::string ResultText(const DownloadResult& r) {
    char buffer[100];
    std::string text = ResultMessage(r.category, r.code, buffer);
    MessagePanel kind;
    if (!text.empty() || !ResultPanel(r.category, r.code, &kind)) return text;
    const int panel = kind == MessagePanel::Success   ? PANEL_SUCCESS
                      : kind == MessagePanel::Timeout ? PANEL_TIMEOUT
                                                      : 0;
    if (panel == 0) return text;
    return platform::UiLabelText(platform::UiResource(kMmiUir, panel), platform::kPanelTextObject);
}

}  // namespace

void JsonReport::Emit(const nlohmann::ordered_json& object) {
    // Invalid UTF-8 (a file name in another encoding) is replaced rather than refused.
    const std::string line =
        object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void JsonReport::Begin(const std::string& program) {
    Emit({{"event", "start"}, {"schema", kSchema}, {"program", program}, {"version", kVersion}});
}

void JsonReport::Console(platform::ConsoleToolkit::Output kind, const std::string& text) {
    using Output = platform::ConsoleToolkit::Output;
    if (kind == Output::kListLine) Emit({{"event", "line"}, {"text", text}});
    if (kind == Output::kPopup) Emit({{"event", "message"}, {"text", text}});
}

void JsonReport::JobStarts() {
    jobStart_ = std::chrono::steady_clock::now();
    resends_ = 0;
}

void JsonReport::BootLoaderAnswered() {
    Emit({{"event", "phone"}});
}

void JsonReport::FlashIdentified(std::uint8_t manufacturer, std::uint8_t device,
                                 const std::string& name) {
    Emit({{"event", "flash"}, {"manufacturer", manufacturer}, {"device", device}, {"name", name}});
}

void JsonReport::Progress(const char* pass, std::uint32_t bytes, std::uint32_t total) {
    const int percent =
        total == 0 ? 100 : static_cast<int>(static_cast<std::uint64_t>(bytes) * 100 / total);
    Emit({{"event", "progress"},
          {"pass", pass},
          {"percent", percent},
          {"bytes", bytes},
          {"total", total}});
}

void JsonReport::IdentityRead(const std::uint8_t* bytes, std::uint32_t length) {
    static const char kDigits[] = "0123456789abcdef";
    flashId_.clear();
    for (std::uint32_t i = 0; i < length; ++i) {
        flashId_ += kDigits[bytes[i] >> 4];
        flashId_ += kDigits[bytes[i] & 15];
    }
    Emit({{"event", "flash_id"}, {"hex", flashId_}});
}

void JsonReport::Result(const DownloadResult& result) {
    Result(result, ResultText(result));
}

void JsonReport::Result(const DownloadResult& result, const std::string& message) {
    double seconds = 0;
    if (jobStart_) {
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - *jobStart_;
        seconds = std::round(d.count() * 1000.0) / 1000.0;
    }
    nlohmann::ordered_json object = {{"event", "result"},           {"ok", IsSuccess(result)},
                                     {"category", result.category}, {"code", result.code},
                                     {"message", message},          {"seconds", seconds},
                                     {"resends", resends_}};
    if (!unit_.empty()) object["unit"] = unit_;
    if (!flashId_.empty()) object["flash_id"] = flashId_;
    Emit(object);
}

}  // namespace vbc::cli
