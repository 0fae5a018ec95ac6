// What the PC's own work costs, apart from the line: reading flash.txt, the sector-list query
// that plans a download, and the checksum and framing of the sector download.
//
//   FlashTxtRead/example      the shipped examples/flash.txt, parsed from memory
//   FlashTxtRead/largest      the largest file the reader takes: 20 chips of 200 sectors
//   FlashTxtLoad/example      the whole start-up read: open, size, read and parse from disk
//   SectorList/4MiB           the sectors of a 4 MiB download on the example's first chip
//   SectorList/largest        every sector of the last of 20 chips of 200 sectors
//   SectorDownload/1MiB       the PC's side of a 1 MiB download over a line that costs nothing
//                             (every byte summed, a command and two answers per sector);
//                             bytes_per_second gives the checksum's cost per MiB
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "platform/serial.h"
#include "tests/flashtxt.h"

namespace {

namespace fs = std::filesystem;

const fs::path kExamples = fs::path(VBC_SOURCE_DIR) / "examples";

std::string ReadText(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

const std::string& ExampleFlashTxt() {
    static const std::string text = ReadText(kExamples / "flash.txt");
    return text;
}

// Twenty chips of 200 sectors, each sector on a line of its own.
const std::string& LargestFlashTxt() {
    static const std::string text = [] {
        std::string t = "# the largest description the reader takes\r\n";
        for (int chip = 0; chip < vbc::NB_FLASH_DESCRIPTIONS; ++chip) {
            vbc::test::FlashChip c{.manufacturerName = "MAKER " + std::to_string(chip),
                                   .deviceName = "LARGE",
                                   .manufacturerId = "32",
                                   .deviceId = std::to_string(100 + chip),
                                   .banks = "4",
                                   .sectorCount = "200",
                                   .sectors = {}};
            for (int s = 0; s < vbc::NB_SECTORS; ++s)
                c.sectors.push_back(std::to_string(s) + "*" + std::to_string(s < 8 ? 8192 : 65536) +
                                    "*" + std::to_string(s / 50));
            t += vbc::test::CrlfJoin(vbc::test::FlashBlockLines(c));
        }
        return t;
    }();
    return text;
}

void Parse(const std::string& text) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    if (vbc::ParseFlashDescription(&vbc::_vg_FlashDescritpion, data,
                                   static_cast<std::uint32_t>(text.size())) != 1)
        std::abort();
}

void FlashTxtRead(benchmark::State& state, const std::string* text) {
    for (auto _ : state) {
        Parse(*text);
        benchmark::DoNotOptimize(vbc::_vg_FlashDescritpion.count);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text->size()));
}
BENCHMARK_CAPTURE(FlashTxtRead, example, &ExampleFlashTxt());
BENCHMARK_CAPTURE(FlashTxtRead, largest, &LargestFlashTxt());

void FlashTxtLoad(benchmark::State& state) {
    const fs::path old = fs::current_path();
    std::string tmpl = (fs::temp_directory_path() / "vbcbench.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    fs::copy_file(kExamples / "flash.txt", fs::path(tmpl) / "flash.txt");
    fs::current_path(tmpl);
    for (auto _ : state) {
        if (vbc::_mfl10_100InitFlashDescription() != 1) std::abort();
    }
    fs::current_path(old);
    fs::remove_all(tmpl);
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * ExampleFlashTxt().size()));
}
BENCHMARK(FlashTxtLoad)->Name("FlashTxtLoad/example");

void SectorList(benchmark::State& state, const std::string* text, std::uint8_t device,
                std::uint32_t length) {
    Parse(*text);
    vbc::SectorList list;
    for (auto _ : state) {
        if (vbc::_mfl10_3GetSectorList(0x20, device, 0, length, &list) != 1) std::abort();
        benchmark::DoNotOptimize(list.totalSize);
    }
}
BENCHMARK_CAPTURE(SectorList, 4MiB, &ExampleFlashTxt(), 0xCA, 4u << 20);
// The last chip, 200 sectors: 8 of 8 KiB and 192 of 64 KiB.
BENCHMARK_CAPTURE(SectorList, largest, &LargestFlashTxt(), 119, 8 * 8192 + 192 * 65536);

// A phone that answers the sector download at once and takes the data without looking at it:
// its checksums are worked out beforehand, so that only the PC's work is measured.
class InstantPhone : public vbc::platform::SerialProvider {
  public:
    std::map<std::uint32_t, std::uint32_t> sums;  // by sector address

    class Device : public vbc::platform::SerialDevice {
      public:
        explicit Device(InstantPhone* phone) : phone_(phone) {}
        int Configure(const vbc::platform::LineSettings&) override { return 0; }
        int SetDtr(bool) override { return 0; }
        int SetHardwareHandshake(bool) override { return 0; }
        int SetSoftwareFlowControl(bool) override { return 0; }
        int SetTimeoutMs(int) override { return 0; }
        int FlushInput() override { return 0; }
        int FlushOutput() override { return 0; }
        int Write(const std::uint8_t* data, std::size_t count) override {
            if (dataLeft_ > 0) {
                dataLeft_ -= static_cast<std::uint32_t>(count);
                if (dataLeft_ == 0) {
                    const std::uint32_t s = phone_->sums[address_];
                    for (std::uint8_t b : {std::uint32_t{0xCC}, s, s >> 8, s >> 16, s >> 24})
                        answers_.push_back(b);
                }
                return static_cast<int>(count);
            }
            header_.insert(header_.end(), data, data + count);
            if (header_.size() == 13) {
                auto field = [&](int i) {
                    return static_cast<std::uint32_t>(header_[i]) << 24 |
                           static_cast<std::uint32_t>(header_[i + 1]) << 16 |
                           static_cast<std::uint32_t>(header_[i + 2]) << 8 | header_[i + 3];
                };
                address_ = field(5);
                dataLeft_ = field(9);
                header_.clear();
                answers_.push_back(0xCB);
            }
            return static_cast<int>(count);
        }
        int ReadByte(int) override {
            if (answers_.empty()) return vbc::kComTimeout;
            const int b = answers_.front();
            answers_.pop_front();
            return b;
        }
        int InputQueueLength() override { return static_cast<int>(answers_.size()); }
        int OutputQueueLength() override { return 0; }
        int WaitInput(int) override { return answers_.empty() ? 0 : 1; }
        int WaitOutputEmpty(int) override { return 0; }

      private:
        InstantPhone* phone_;
        std::vector<std::uint8_t> header_;
        std::uint32_t address_ = 0;
        std::uint32_t dataLeft_ = 0;
        std::deque<std::uint8_t> answers_;
    };

    std::unique_ptr<vbc::platform::SerialDevice> Open(int, const std::string&,
                                                      const vbc::platform::LineSettings&,
                                                      int*) override {
        return std::make_unique<Device>(this);
    }
};

void SectorDownload(benchmark::State& state, std::uint32_t length) {
    Parse(ExampleFlashTxt());
    std::vector<std::uint8_t> image(length);
    std::uint32_t x = 7;
    for (auto& b : image) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    vbc::_sg_FlashAddr = 0x800000;
    InstantPhone phone;
    vbc::SectorList list;
    if (vbc::_mfl10_3GetSectorList(0x20, 0xCA, 0, length, &list) != 1) std::abort();
    std::uint32_t offset = 0;
    for (int i = 0; i < list.count; ++i) {
        std::uint32_t size = 0;
        vbc::_mfl10_0GetSectorSize(0x20, 0xCA, list.numbers[i], &size);
        const std::uint32_t n = std::min(size, length - offset);
        std::uint32_t sum = 0;
        for (std::uint32_t k = 0; k < n; ++k) sum += image[offset + k];
        phone.sums[vbc::_sg_FlashAddr + offset] = sum;
        offset += size;
    }
    vbc::platform::SetSerialProvider(&phone);
    if (vbc::OpenComConfig(1, "COM1", 115200, vbc::kParityNone, 8, 1, 65536, 65536) != 0)
        std::abort();
    vbc::DownloadContext context;
    context.comPort = 1;
    context.targetInfo[2] = 0x20;
    context.targetInfo[3] = 0xCA;
    for (auto _ : state) {
        vbc::DownloadResult result;
        vbc::_mfl11_54Download(&result, context, length, image.data(), vbc::_sg_FlashAddr);
        if (result.category != 0) {
            state.SkipWithError("the download failed");
            break;
        }
    }
    vbc::platform::SetSerialProvider(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}
BENCHMARK_CAPTURE(SectorDownload, 1MiB, 1u << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
