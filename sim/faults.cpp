#include "sim/faults.h"

#include <cerrno>
#include <cstdlib>

namespace vbc::sim {
namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return parts;
}

// A non-negative C integer that fits in max.
bool ParseNumber(const std::string& text, long max, long* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < 0 || v > max) return false;
    *out = v;
    return true;
}

// "*" or a number from min.
bool ParseCount(const std::string& text, long min, int* out) {
    if (text == "*") {
        *out = kAny;
        return true;
    }
    long v = 0;
    if (!ParseNumber(text, 1000000, &v) || v < min) return false;
    *out = static_cast<int>(v);
    return true;
}

struct StageName {
    DropStage stage;
    const char* name;
    bool perSector;
};

constexpr StageName kStages[] = {
    {DropStage::kBootWait, "boot-wait", false},
    {DropStage::kBootFrames, "boot-frames", false},
    {DropStage::kAfterJump, "after-jump", false},
    {DropStage::kIdentification, "identification", false},
    {DropStage::kSpeedChange, "speed-change", false},
    {DropStage::kSectorCommand, "sector-command", true},
    {DropStage::kSectorData, "sector-data", true},
    {DropStage::kChecksumWait, "checksum-wait", true},
    {DropStage::kSwitchOff, "switch-off", false},
};

}  // namespace

bool SectorAttempts::Parse(const std::string& text, bool allowDetail, std::string* error) {
    entries_.clear();
    for (const std::string& item : Split(text, ',')) {
        const auto parts = Split(item, ':');
        Entry e;
        long detail = 0x01;
        const bool sizeOk = parts.size() == 2 || (allowDetail && parts.size() == 3);
        if (!sizeOk || !ParseCount(parts[0], 0, &e.sector) ||
            !ParseCount(parts[1], 1, &e.attempt) ||
            (parts.size() == 3 && !ParseNumber(parts[2], 255, &detail))) {
            if (error) {
                *error = "'" + item + "' is not SECTOR:ATTEMPT" +
                         std::string(allowDetail ? "[:DETAIL]" : "") +
                         " (numbers or *, attempts from 1)";
            }
            entries_.clear();
            return false;
        }
        e.detail = static_cast<int>(detail);
        entries_.push_back(e);
    }
    return true;
}

const SectorAttempts::Entry* SectorAttempts::Find(int sector, int attempt) const {
    for (const Entry& e : entries_) {
        if ((e.sector == kAny || e.sector == sector) && (e.attempt == kAny || e.attempt == attempt))
            return &e;
    }
    return nullptr;
}

bool Attempts::Parse(const std::string& text, std::string* error) {
    attempts_.clear();
    for (const std::string& item : Split(text, ',')) {
        int a = 0;
        if (!ParseCount(item, 1, &a)) {
            if (error) *error = "'" + item + "' is not an attempt number (from 1) or *";
            attempts_.clear();
            return false;
        }
        attempts_.push_back(a);
    }
    return true;
}

bool Attempts::Contains(int attempt) const {
    for (int a : attempts_) {
        if (a == kAny || a == attempt) return true;
    }
    return false;
}

bool ParseDropPoint(const std::string& text, DropPoint* out, std::string* error) {
    const auto parts = Split(text, ':');
    for (const StageName& s : kStages) {
        if (parts[0] != s.name) continue;
        DropPoint p;
        p.stage = s.stage;
        if (parts.size() == 2 && s.perSector) {
            long v = 0;
            if (!ParseNumber(parts[1], 255, &v)) {
                if (error) *error = "'" + parts[1] + "' is not a sector number";
                return false;
            }
            p.sector = static_cast<int>(v);
        } else if (parts.size() != 1) {
            if (error) *error = "'" + text + "': only sector stages take a :SECTOR";
            return false;
        }
        *out = p;
        return true;
    }
    if (error) *error = "unknown stage '" + parts[0] + "' (one of " + DropStageNames() + ")";
    return false;
}

const char* DropStageName(DropStage stage) {
    for (const StageName& s : kStages) {
        if (s.stage == stage) return s.name;
    }
    return "none";
}

std::string DropStageNames() {
    std::string names;
    for (const StageName& s : kStages) {
        if (!names.empty()) names += ", ";
        names += s.name;
        if (s.perSector) names += "[:SECTOR]";
    }
    return names;
}

bool ParseByte(const std::string& text, std::uint8_t* out) {
    long v = 0;
    if (!ParseNumber(text, 255, &v)) return false;
    *out = static_cast<std::uint8_t>(v);
    return true;
}

bool ParseOffset(const std::string& text, std::int64_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > 0xFFFFFFFFull) return false;
    *out = static_cast<std::int64_t>(v);
    return true;
}

bool ParseCodes(const std::string& text, std::uint8_t* manufacturer, std::uint8_t* device) {
    const auto parts = Split(text, ':');
    return parts.size() == 2 && ParseByte(parts[0], manufacturer) && ParseByte(parts[1], device);
}

}  // namespace vbc::sim
