// The end-to-end station tests' fixture: vbcflash-station run as a process against vbcsim
// phones on pseudo-terminals in one scratch directory (COM1...COMn), and its log read back.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/child.h"
#include "tests/testutil.h"

namespace vbc {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class StationE2e : public ::testing::Test {
  protected:
    StationE2e() {
        const fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
        for (const char* f : {"flash.txt", "mfl104_4.spm", "mfl104_5.spm"})
            fs::copy_file(examples / f, dir_.path() / f);
        std::uint32_t x = 777;
        software_.resize(60'000);
        for (char& c : software_) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        test::WriteFile(dir_.path() / "soft.cla", software_);
    }

    // A phone (one job) on COMn; returns its slave's path.
    std::string StartPhone(int n, std::vector<std::string> options = {}) {
        std::vector<std::string> args = {VBC_SIM_PATH,  "--once",
                                         "--dir",       dir_.path().string(),
                                         "--link",      "COM" + std::to_string(n),
                                         "--flash-out", Flash(n).string()};
        args.insert(args.end(), options.begin(), options.end());
        auto& sim = sims_[n];
        sim = std::make_unique<test::Child>(args, "", (dir_.path() / "sim.err").string());
        const std::string slave = sim->Line().value_or("");
        EXPECT_EQ(slave.rfind("/dev/", 0), 0u) << test::ReadFile(dir_.path() / "sim.err");
        return slave;
    }
    fs::path Flash(int n) const { return dir_.path() / ("flash" + std::to_string(n) + ".bin"); }
    bool FlashHoldsTheImage(int n) {
        sims_[n]->Wait();  // it writes its flash out when its job ends
        const std::string flash = test::ReadFile(Flash(n));
        return flash.compare(0, software_.size(), software_) == 0;
    }

    // prefix: what runs the station (a shell that closes its standard input, a limit).
    std::unique_ptr<test::Child> Station(std::vector<std::string> options,
                                         const std::string& file = "soft.cla",
                                         std::vector<std::string> prefix = {}) {
        std::vector<std::string> args = prefix;
        args.insert(args.end(), {VBC_STATION_PATH, "-C", dir_.path().string(), "--once"});
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(file);
        return std::make_unique<test::Child>(args);
    }
    // Reads the station's plain lines up to one that holds text (and also, when given, more).
    static bool WaitFor(test::Child& station, const std::string& text,
                        const std::string& more = "") {
        for (auto line = station.Line(); line; line = station.Line()) {
            if (line->find(text) != std::string::npos && line->find(more) != std::string::npos)
                return true;
        }
        return false;
    }

    // The log's records by port; every line whole.
    std::map<int, std::vector<Json>> Log() {
        const std::string text = test::ReadFile(dir_.path() / "station.jsonl");
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "a partial last line";
        std::map<int, std::vector<Json>> records;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            const Json r = Json::parse(line, nullptr, false);
            EXPECT_FALSE(r.is_discarded()) << line;
            if (!r.is_discarded()) records[r.value("port", 0)].push_back(r);
        }
        return records;
    }

    test::ScratchDir dir_;
    std::string software_;
    std::map<int, std::unique_ptr<test::Child>> sims_;
};

}  // namespace vbc
