// vbcflash-cli --json: the job as JSON objects on standard output, one a line, each written and
// flushed as it happens. The schema is in docs/JSON.md.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "core/context.h"
#include "toolkit/consoletoolkit.h"
#include "ui/jobevents.h"

namespace vbc::cli {

class JsonReport : public JobObserver {
  public:
    static constexpr int kSchema = 3;

    explicit JsonReport(std::FILE* out) : out_(out) {}

    // The first object: {"event":"start","schema":1,"program":...,"version":...}.
    void Begin(const std::string& program);
    // What the console would have printed: comment lines become "line" objects, a popup's
    // message a "message" object; panel texts and the elapsed time are left to "result".
    void Console(platform::ConsoleToolkit::Output kind, const std::string& text);
    // Start is pressed: the job's time counts from here.
    void JobStarts();
    // The last object, with this message instead of the one the tool shows for the result: for
    // an ending that has no message panel (a dump that succeeded, an error of the tool's own).
    void Result(const DownloadResult& result, const std::string& message);
    // The last object: the result the job (or the step before it) ended with.
    void Result(const DownloadResult& result);

    void BootLoaderAnswered() override;
    void FlashIdentified(std::uint8_t manufacturer, std::uint8_t device,
                         const std::string& name) override;
    void Progress(const char* pass, std::uint32_t bytes, std::uint32_t total) override;
    void SectorResent() override { ++resends_; }
    // {"event":"flash_id","hex":"..."}; the result then carries it as "flash_id".
    void IdentityRead(const std::uint8_t* bytes, std::uint32_t length) override;
    // --unit: the result carries it as "unit".
    void SetUnit(const std::string& unit) { unit_ = unit; }

  private:
    void Emit(const nlohmann::ordered_json& object);

    std::FILE* out_;
    std::optional<std::chrono::steady_clock::time_point> jobStart_;
    int resends_ = 0;
    std::string unit_;
    std::string flashId_;
};

}  // namespace vbc::cli
