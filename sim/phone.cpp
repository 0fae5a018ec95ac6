#include "sim/phone.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>

namespace vbc::sim {
namespace {

constexpr int kIdleReadMs = 1000;            // the bootstrap waits for ever; this is only its poll
constexpr std::size_t kChunk = 4096;         // data is taken and programmed in pieces of this size
constexpr std::uint32_t kRamSize = 0x10000;  // internal RAM the boot loader loads into
constexpr std::uint32_t kExtendedModeRegister = 0xFFFF8003;
constexpr std::uint8_t kType2Config[8] = {0x86, 0x42, 0x56, 0x02, 0x07, 0x00, 0x07, 0x80};
constexpr double kRateTolerance = 0.03;  // a UART copes with a few percent between the ends

// Unwinds a job when the line ends it.
struct LineEnded {
    JobEnd end;
};

// Rate the phone's UART runs at for change-speed parameters: 26 MHz clock, divider
// 32 x (65536 - W) plus a fractional part F / 8.
long RateOfParameters(const std::uint8_t p[3]) {
    const double w = (p[1] << 8) | p[2];
    const double divider = 32.0 * (65536.0 - w) + p[0] / 8.0;
    return static_cast<long>(std::floor(26000000.0 / divider));
}

// One job of the phone on one line.
class JobRunner {
  public:
    JobRunner(const PhoneOptions& options, FlashMemory* flash, Trace* trace, Channel& line,
              JobReport& report)
        : o_(options), f_(options.faults), flash_(*flash), trace_(trace), line_(line), r_(report) {}

    void Run() {
        line_.SetBitsPerByte(11);
        Note(Format("job %d: ROM boot loader waiting for a PC", r_.number));
        try {
            BootLoader();
            BootFrames();
            Bootstrap();
            Commands();
        } catch (const LineEnded& e) {
            r_.end = (e.end == JobEnd::kStopped && !started_) ? JobEnd::kNotStarted : e.end;
        }
        FlushIn("");
        r_.sectorsWritten = static_cast<int>(written_.size());
        for (const auto& entry : written_) r_.bytesWritten += entry.second;
        Note(Format("job %d ended: %s", r_.number, JobEndName(r_.end)));
    }

  private:
    // ---- line primitives -------------------------------------------------------------

    int ReadOrEnd(int timeoutMs) {
        const int v = line_.Read(timeoutMs);
        if (v >= 0) {
            started_ = true;
            CheckLineRate();
            return v;
        }
        if (v == kReadHangup) {
            if (started_) throw LineEnded{JobEnd::kPcClosed};
            return kReadTimeout;  // a PC that came and went without a word: no job yet
        }
        if (v == kReadStopped) throw LineEnded{JobEnd::kStopped};
        return kReadTimeout;
    }

    // The next byte of a frame; it joins the frame traced by the next TraceIn.
    std::uint8_t Get() {
        for (;;) {
            const int v = ReadOrEnd(kIdleReadMs);
            if (v >= 0) {
                in_.push_back(static_cast<std::uint8_t>(v));
                return static_cast<std::uint8_t>(v);
            }
        }
    }

    std::uint32_t Get32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Get();
        return v;
    }

    // Raw data bytes, traced by the caller.
    void GetData(std::uint8_t* out, std::size_t count) {
        for (std::size_t i = 0; i < count;) {
            const int v = ReadOrEnd(kIdleReadMs);
            if (v >= 0) out[i++] = static_cast<std::uint8_t>(v);
        }
    }

    void TraceIn(const std::string& meaning) {
        if (trace_ && !in_.empty()) {
            trace_->Frame(line_.NowMs(), Direction::kFromPc, in_.data(), in_.size(), meaning);
        }
        in_.clear();
    }

    // Whatever was read but not yet explained.
    void FlushIn(const std::string& why) {
        if (!in_.empty()) TraceIn(why.empty() ? "incomplete frame" : why);
    }

    void Send(std::initializer_list<std::uint8_t> bytes, const std::string& meaning) {
        Send(std::vector<std::uint8_t>(bytes), meaning);
    }

    void Send(const std::vector<std::uint8_t>& bytes, const std::string& meaning) {
        if (trace_) {
            trace_->Frame(line_.NowMs(), Direction::kToPc, bytes.data(), bytes.size(), meaning);
        }
        line_.Write(bytes.data(), bytes.size());
    }

    void Note(const std::string& text) {
        if (trace_) trace_->Note(line_.NowMs(), text);
    }

    // Something the job report keeps (and the trace shows).
    void Remark(const std::string& text) {
        r_.notes.push_back(text);
        Note(text);
    }

    [[noreturn]] void DropHere(const std::string& where) {
        started_ = true;
        FlushIn("");
        Remark("fault: line dropped " + where);
        line_.Drop();
        throw LineEnded{JobEnd::kDropped};
    }

    // The phone no longer reacts: every byte is ignored until the PC closes the line.
    [[noreturn]] void Hang(const std::string& why) {
        FlushIn("");
        Remark(why);
        for (;;) {
            const int v = ReadOrEnd(kIdleReadMs);
            if (v >= 0) in_.push_back(static_cast<std::uint8_t>(v));
            if (!in_.empty() && (v < 0 || in_.size() >= 16))
                TraceIn("ignored (the phone is silent)");
        }
    }

    void CheckLineRate() {
        if (!rateCheckPending_) return;
        rateCheckPending_ = false;
        const long pc = line_.PcLineRate();
        r_.pcRate = std::max(pc, 0L);
        if (pc <= 0) return;
        const double off = std::abs(static_cast<double>(pc - r_.phoneRate)) / r_.phoneRate;
        if (off > kRateTolerance) {
            Remark(
                Format("line mismatch: the PC sends at %ld bit/s while the phone runs at %ld bit/s",
                       pc, r_.phoneRate));
        }
    }

    bool DropAtSector(DropStage stage, int sector, int attempt) const {
        return f_.drop.stage == stage && attempt == 1 &&
               (f_.drop.sector == kAny || f_.drop.sector == sector);
    }

    // ---- ROM boot loader -------------------------------------------------------------

    void BootLoader() {
        bool noiseSent = false;
        bool peerBefore = false;
        for (;;) {
            // A PC that has just opened the port is still setting it up (and flushing it):
            // the phone announces itself from the next round on.
            const bool peer = line_.PeerPresent();
            if (peer && peerBefore) {
                if (f_.drop.stage == DropStage::kBootWait) DropHere("while the boot loader waits");
                if (!f_.neverAnswer) {
                    if (!noiseSent && f_.noiseBytes > 0) SendNoise();
                    noiseSent = true;
                    Send({o_.answerByte}, "boot loader announces itself");
                }
            }
            peerBefore = peer;
            const int v = ReadOrEnd(o_.announceMs);
            if (v < 0) continue;
            in_.push_back(static_cast<std::uint8_t>(v));
            if (f_.neverAnswer) {
                TraceIn("ignored (the phone never answers)");
                continue;
            }
            if (v == 0x44) {
                TraceIn("answer to the boot loader");
                r_.answered = true;
                return;
            }
            TraceIn("ignored by the boot loader");
        }
    }

    void SendNoise() {
        std::mt19937 gen(f_.noiseSeed);
        std::vector<std::uint8_t> noise;
        while (noise.size() < static_cast<std::size_t>(f_.noiseBytes)) {
            const auto b = static_cast<std::uint8_t>(gen() & 0xFF);
            // Never a byte the PC would take for the announcement, a time-out or the
            // bootstrap's acknowledgement.
            if (b == o_.answerByte || b == 0x9D || b == 0x44) continue;
            noise.push_back(b);
        }
        Send(noise, "line noise (fault)");
    }

    // Configuration first (wait states, or the fixed sequence of product type 2), then
    // set-address, block and jump frames. The configuration bytes overlap the frame headers
    // (56 02 would be a block header), so they are only taken before the first frame.
    void BootFrames() {
        int waitStatesSeen = 0;  // one bit a chip select
        bool type2 = false;
        std::uint8_t b0 = Get();
        if (b0 == kType2Config[0]) {
            for (int i = 1; i < 8; ++i) {
                if (Get() != kType2Config[i]) LostBootLoader();
            }
            TraceIn("product type 2 configuration");
            type2 = true;
            b0 = Get();
        }
        while (!type2 && (b0 == 0xC6 || b0 == 0x96 || b0 == 0xC7 || b0 == 0xD7)) {
            const int cs = b0 == 0xC6 ? 0 : b0 == 0x96 ? 1 : b0 == 0xC7 ? 2 : 3;
            const std::uint8_t v = Get();
            const std::uint8_t expectHigh = (cs == 0 || cs == 3) ? 0x80 : 0x00;
            r_.waitStates[cs] = v & 7;
            waitStatesSeen |= 1 << cs;
            TraceIn(Format("chip select %d: %d wait states", cs, v & 7));
            if ((v & 0xF8) != expectHigh) {
                Remark(Format("chip select %d configured with 0x%02X: high bits should be 0x%02X",
                              cs, v, expectHigh));
            }
            b0 = Get();
        }

        std::uint32_t address = 0;
        ram_.assign(kRamSize, 0);
        loaded_.assign(kRamSize, false);
        bool firstBlock = true;
        for (;; b0 = Get()) {
            if (b0 == 0x00) {
                if (Get() != 0x03) LostBootLoader();
                address = Get32();
                TraceIn(Format("set address 0x%08X", address));
            } else if (b0 >= 0x40 && b0 <= 0x5F) {
                const std::uint32_t length = (((b0 & 0x1F) << 8) | Get()) + 1u;
                TraceIn(Format("block of %u bytes at 0x%08X", length, address));
                std::vector<std::uint8_t> data(length);
                const bool dropHere = firstBlock && f_.drop.stage == DropStage::kBootFrames &&
                                      address != kExtendedModeRegister;
                const std::uint32_t first = dropHere ? length / 2 : length;
                GetData(data.data(), first);
                if (trace_) {
                    trace_->Data(line_.NowMs(), Direction::kFromPc, 0, data.data(), first,
                                 "block data");
                }
                if (dropHere) DropHere("halfway through the block frame");
                if (address != kExtendedModeRegister) firstBlock = false;
                StoreBlock(address, data);
                address += length;
            } else if (b0 == 0x60) {
                if (Get() != 0x00) LostBootLoader();
                TraceIn(Format("jump to 0x%08X", address));
                r_.jumped = true;
                r_.jumpAddress = address;
                Jump(waitStatesSeen, type2);
                return;
            } else {
                LostBootLoader();
            }
        }
    }

    [[noreturn]] void LostBootLoader() {
        std::string bytes;
        for (std::uint8_t b : in_) bytes += Format(" %02X", b);
        FlushIn("not a boot-loader frame");
        r_.bootRefusal = "not a boot-loader frame:" + bytes;
        Hang("boot loader lost: not a frame it knows:" + bytes);
    }

    void StoreBlock(std::uint32_t address, const std::vector<std::uint8_t>& data) {
        if (address == kExtendedModeRegister && data.size() == 1) {
            r_.extendedMode = data[0] == 0x70;
            Note(Format("extended-mode register set to 0x%02X", data[0]));
            return;
        }
        if (address >= kRamSize || data.size() > kRamSize - address) {
            Remark(Format("block of %zu bytes at 0x%08X lies outside the internal RAM: ignored",
                          data.size(), address));
            return;
        }
        std::copy(data.begin(), data.end(), ram_.begin() + address);
        std::fill_n(loaded_.begin() + address, data.size(), true);
    }

    void Jump(int waitStatesSeen, bool type2) {
        if (waitStatesSeen == 0xF) {
            r_.productType = 1;
        } else if (type2 && r_.extendedMode) {
            r_.productType = 2;
        }
        for (std::uint32_t a = r_.jumpAddress; a < kRamSize && loaded_[a]; ++a) {
            r_.bootImage.push_back(ram_[a]);
        }
        std::string refusal;
        if (r_.productType == 0) {
            refusal = type2 ? std::string(
                                  "configuration fits neither product type "
                                  "(product type 2 without the extended mode)")
                            : Format(
                                  "configuration fits neither product type (wait states for "
                                  "chip selects 0x%X of 0xF)",
                                  waitStatesSeen);
        } else if (r_.bootImage.empty()) {
            refusal = Format("nothing was loaded at the jump address 0x%08X", r_.jumpAddress);
        } else if (o_.checkSpm && r_.bootImage != o_.expectedSpm) {
            std::size_t i = 0;
            while (i < r_.bootImage.size() && i < o_.expectedSpm.size() &&
                   r_.bootImage[i] == o_.expectedSpm[i])
                ++i;
            refusal = Format(
                "the bootstrap differs from the expected one (%zu bytes loaded, %zu "
                "expected, first difference at byte %zu)",
                r_.bootImage.size(), o_.expectedSpm.size(), i);
        }
        if (!refusal.empty()) {
            r_.bootRefusal = refusal;
            Hang("bootstrap not started: " + refusal);
        }
        r_.flashBase = r_.productType == 1 ? kFlashBaseType1 : kFlashBaseType2;
        Note(Format("product type %d: %zu-byte bootstrap started, flash at 0x%X", r_.productType,
                    r_.bootImage.size(), r_.flashBase));
        if (f_.drop.stage == DropStage::kAfterJump) DropHere("right after the jump");
        if (f_.silentAfterJump) Hang("fault: the bootstrap stays silent after the jump");
    }

    // ---- bootstrap -------------------------------------------------------------------

    void Bootstrap() {
        r_.bootstrapRunning = true;
        Send({0x44}, "bootstrap acknowledge");
        Send({0xA0, o_.versionMajor, o_.versionMinor},
             Format("bootstrap version %d.%d", o_.versionMajor, o_.versionMinor));
        std::vector<std::uint8_t> ident = {o_.identByte, o_.manufacturer, o_.device};
        const bool ext = HasExtensionByte(o_.manufacturer, o_.device);
        if (ext) ident.push_back(o_.extension);
        if (f_.drop.stage == DropStage::kIdentification) {
            Send({o_.identByte}, "flash identification starts");
            DropHere("during the flash identification");
        }
        std::string meaning = Format("flash identification: manufacturer 0x%02X, device 0x%02X",
                                     o_.manufacturer, o_.device);
        if (ext) meaning += Format(", extension 0x%02X", o_.extension);
        if (o_.identByte != 0xC2) meaning += " (fault: wrong first byte)";
        Send(ident, meaning);
    }

    void Commands() {
        for (;;) {
            const std::uint8_t op = Get();
            switch (op) {
                case 0xE0:
                    ChangeSpeed();
                    break;
                case 0xE9:
                    TraceIn("speed control");
                    if (f_.noSpeedControl) {
                        Remark("fault: no answer to speed control");
                    } else {
                        Send({0xCA}, "speed control answered");
                    }
                    break;
                case 0xEB:
                    TraceIn("set GPIO");
                    Send({0xC0}, "command accepted");
                    Send({0xC9}, "GPIO set");
                    break;
                case 0xEF:
                    TraceIn("set PMU");
                    Send({0xC0}, "command accepted");
                    Send({0xCF, o_.pmuByte}, "PMU set");
                    break;
                case 0xEA:
                    DownloadSector();
                    break;
                case 0xE2:
                case 0xE3:
                case 0xE4:
                    Erase(op);
                    break;
                case 0xE6:
                    ReadMemory();
                    break;
                case 0xE8:
                    SwitchOff();
                    break;
                default:
                    TraceIn("unknown command: ignored");
                    r_.notes.push_back(Format("unknown command byte 0x%02X ignored", op));
                    break;
            }
        }
    }

    void ChangeSpeed() {
        const int attempt = ++speedAttempts_;
        TraceIn("change speed");
        Send({0xC0}, "command accepted");
        std::uint8_t p[5];
        for (auto& b : p) b = Get();
        const unsigned sum = (p[0] + p[1] + p[2]) & 0xFFFF;
        const unsigned sent = (p[3] << 8) | p[4];
        const bool good = sum == sent;
        TraceIn(good ? Format("speed parameters, checksum good")
                     : Format("speed parameters, checksum bad (the sum is %04X)", sum));
        if (f_.drop.stage == DropStage::kSpeedChange) DropHere("before the speed-change verdict");
        const bool faulty = good && f_.badSpeedVerdict.Contains(attempt);
        if (faulty) Remark(Format("fault: bad speed-change verdict on attempt %d", attempt));
        if (!good || faulty) {
            Send({0xC3, 0x01}, "parameters received, checksum refused");
            return;
        }
        Send({0xC3, 0x00}, "parameters received, checksum good");
        ++r_.speedChanges;
        r_.phoneRate = RateOfParameters(p);
        line_.SetBitsPerByte(10);
        rateCheckPending_ = true;
        Note(Format("the phone now runs at %ld bit/s, 8 data bits, no parity", r_.phoneRate));
    }

    void Refuse(std::uint8_t detail, const std::string& why) {
        Remark("sector refused: " + why);
        Send({0xCD, detail}, "sector refused: " + why);
    }

    void DownloadSector() {
        const std::uint32_t size = Get32();
        const std::uint32_t address = Get32();
        const std::uint32_t length = Get32();
        TraceIn(Format("download sector: size 0x%X, address 0x%08X, length 0x%X", size, address,
                       length));
        if (!flash_.Known()) {
            Refuse(kRefuseUnknownFlash, "the flash is not described in flash.txt");
            return;
        }
        const int sector =
            address < r_.flashBase ? -1 : flash_.SectorStartingAt(address - r_.flashBase);
        if (sector < 0) {
            Refuse(kRefuseNotSectorStart, Format("no sector starts at 0x%08X", address));
            return;
        }
        if (size != flash_.SectorSize(sector)) {
            Refuse(kRefuseSizeMismatch, Format("sector %d holds 0x%X bytes, not 0x%X", sector,
                                               flash_.SectorSize(sector), size));
            return;
        }
        if (length > size) {
            Refuse(kRefuseLengthTooLong,
                   Format("length 0x%X is more than sector %d holds", length, sector));
            return;
        }
        const int attempt = ++sectorAttempts_[sector];
        if (attempt > 1) ++r_.resends;
        if (DropAtSector(DropStage::kSectorCommand, sector, attempt))
            DropHere(Format("after the command for sector %d", sector));
        if (f_.silentAfterCommand.Contains(sector, attempt)) {
            Hang(Format("fault: silent after the command for sector %d, attempt %d", sector,
                        attempt));
        }
        EraseSector(sector);
        Send({0xCB}, Format("ready for the data (sector %d erased)", sector));

        const std::uint32_t offset = flash_.SectorOffset(sector);
        const bool corrupt = f_.badChecksum.Contains(sector, attempt) && length > 0;
        const std::uint32_t corruptAt = length / 2;
        const bool dropHalf = DropAtSector(DropStage::kSectorData, sector, attempt);
        const std::string what = Format("sector %d data", sector);
        std::uint32_t sum = 0;
        std::uint32_t got = 0;
        bool stuck = false;
        std::vector<std::uint8_t> buf(kChunk);
        while (got < length || (dropHalf && got == length / 2)) {
            if (dropHalf && got == length / 2)
                DropHere(Format("halfway through the data of sector %d", sector));
            std::uint32_t n = std::min<std::uint32_t>(kChunk, length - got);
            if (dropHalf && got < length / 2) n = std::min(n, length / 2 - got);
            GetData(buf.data(), n);
            if (corrupt && corruptAt >= got && corruptAt < got + n) buf[corruptAt - got] ^= 0x01;
            if (trace_) trace_->Data(line_.NowMs(), Direction::kFromPc, got, buf.data(), n, what);
            flash_.Program(offset + got, buf.data(), n);
            for (std::uint32_t i = 0; i < n; ++i) sum += buf[i];
            if (StuckCellIn(offset + got, n)) {
                const auto cell = static_cast<std::uint32_t>(f_.stuckBit);
                const std::uint8_t received = buf[cell - offset - got];
                flash_.Force(cell, static_cast<std::uint8_t>(received ^ 0x01));
                stuck = true;
                Remark(Format("fault: the stuck cell at 0x%X stored 0x%02X for 0x%02X", cell,
                              received ^ 0x01, received));
            }
            got += n;
            r_.bytesReceived += n;
        }
        if (corrupt) {
            Remark(Format("fault: byte %u of sector %d corrupted on attempt %d", corruptAt, sector,
                          attempt));
        }
        if (DropAtSector(DropStage::kChecksumWait, sector, attempt))
            DropHere(Format("while the PC waits for the checksum of sector %d", sector));
        if (f_.silentAfterData.Contains(sector, attempt)) {
            Hang(Format("fault: silent after the data of sector %d, attempt %d", sector, attempt));
        }
        if (const auto* fail = f_.sectorFail.Find(sector, attempt)) {
            EraseSector(sector);
            Remark(Format("fault: sector %d failed on attempt %d (detail 0x%02X)", sector, attempt,
                          fail->detail));
            Send({0xCD, static_cast<std::uint8_t>(fail->detail)}, "sector failed, left erased");
            return;
        }
        Send({0xCC, static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
              static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)},
             Format("sector %d programmed, checksum 0x%08X", sector, sum));
        ++r_.sectorWrites;
        // A corrupted write is answered like any other, but the sector does not hold the data.
        if (!corrupt && !stuck) written_[sector] = length;
    }

    bool StuckCellIn(std::uint32_t offset, std::uint32_t count) const {
        return f_.stuckBit >= offset && f_.stuckBit < static_cast<std::int64_t>(offset) + count;
    }

    void EraseSector(int sector) {
        flash_.EraseSector(sector);
        written_.erase(sector);
    }

    // Sectors from address covering length bytes; false when they run past the flash.
    bool SectorsCovering(std::uint32_t address, std::uint32_t length, std::vector<int>* out) {
        if (address < r_.flashBase) return false;
        int s = flash_.SectorStartingAt(address - r_.flashBase);
        if (s < 0) return false;
        for (std::uint64_t covered = 0; covered < length; ++s) {
            if (s >= flash_.SectorCount()) return false;
            covered += flash_.SectorSize(s);
            out->push_back(s);
        }
        return true;
    }

    void Erase(std::uint8_t op) {
        TraceIn(op == 0xE2   ? "erase the whole flash"
                : op == 0xE3 ? "erase one sector"
                             : "erase the sectors of a bank in a range");
        if (!flash_.Known()) {
            Send({0xC1}, "erase refused: the flash is not described");
            return;
        }
        Send({0xC0}, "command accepted");
        std::vector<int> sectors;
        bool ok = true;
        if (op == 0xE2) {
            for (int s = 0; s < flash_.SectorCount(); ++s) sectors.push_back(s);
        } else if (op == 0xE3) {
            const std::uint32_t address = Get32();
            TraceIn(Format("sector at 0x%08X", address));
            ok = SectorsCovering(address, 1, &sectors);
        } else {
            const std::uint8_t bank = Get();
            const std::uint32_t length = Get32();
            const std::uint32_t address = Get32();
            TraceIn(Format("bank %d, 0x%X bytes from 0x%08X", bank, length, address));
            ok = SectorsCovering(address, length, &sectors);
            std::erase_if(sectors, [&](int s) { return flash_.SectorBank(s) != bank; });
        }
        if (!ok) {
            Send({0xC5, 0xF3}, "erase failed: the range does not match the sectors");
            return;
        }
        for (int s : sectors) EraseSector(s);
        Send({0xC5, 0xF6}, Format("erase done (%zu sectors)", sectors.size()));
    }

    void ReadMemory() {
        TraceIn("read memory");
        Send({0xC0}, "command accepted");
        const std::uint32_t length = Get32();
        const std::uint32_t address = Get32();
        TraceIn(Format("read 0x%X bytes from 0x%08X", length, address));
        const std::uint32_t offset = address - r_.flashBase;
        if (!flash_.Known() || address < r_.flashBase || offset > flash_.Size() ||
            length > flash_.Size() - offset) {
            Send({0xC1}, "read refused: the range leaves the flash");
            return;
        }
        Send({0xC7}, "read parameters accepted");
        std::uint32_t sum = 0;
        std::vector<std::uint8_t> buf;
        for (std::uint32_t done = 0; done < length;) {
            const std::uint32_t n = std::min<std::uint32_t>(kChunk, length - done);
            buf.resize(n);
            flash_.Read(offset + done, buf.data(), n);
            for (std::uint8_t b : buf) sum += b;
            // The checksum above is of the true data: the PC sees the noise as a bad read.
            const std::int64_t at = static_cast<std::int64_t>(offset) + done;
            if (!readNoiseDone_ && f_.readNoise >= at && f_.readNoise < at + n) {
                readNoiseDone_ = true;
                buf[static_cast<std::size_t>(f_.readNoise - at)] ^= 0x01;
                Remark(Format("fault: read noise at 0x%X", static_cast<unsigned>(f_.readNoise)));
            }
            if (trace_)
                trace_->Data(line_.NowMs(), Direction::kToPc, done, buf.data(), n, "read data");
            line_.Write(buf.data(), n);
            done += n;
        }
        Send({static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
              static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)},
             Format("checksum 0x%08X", sum));
    }

    void SwitchOff() {
        TraceIn("switch off");
        if (f_.drop.stage == DropStage::kSwitchOff) DropHere("before the switch-off answer");
        if (f_.noSwitchOffAnswer) {
            Remark("fault: no answer to switch off");
        } else {
            Send({0xC0}, "command accepted: the phone switches off");
        }
        throw LineEnded{JobEnd::kSwitchedOff};
    }

    const PhoneOptions& o_;
    const Faults& f_;
    FlashMemory& flash_;
    Trace* trace_;
    Channel& line_;
    JobReport& r_;
    std::vector<std::uint8_t> in_;  // bytes of the frame being read
    std::vector<std::uint8_t> ram_;
    std::vector<bool> loaded_;
    bool started_ = false;
    bool rateCheckPending_ = true;
    bool readNoiseDone_ = false;
    int speedAttempts_ = 0;
    std::map<int, int> sectorAttempts_;
    std::map<int, std::uint32_t> written_;  // sector -> length of the data it holds intact
};

}  // namespace

bool HasExtensionByte(std::uint8_t manufacturer, std::uint8_t device) {
    switch (manufacturer) {
        case 0x2C:
            return device == 0xB6;
        case 0x01:
            return device == 0xE3 || device == 0xE4;
        case 0x20:
        case 0x89:
            return device == 0xCA || device == 0x64 || device == 0x10;
        default:
            return false;
    }
}

const char* JobEndName(JobEnd end) {
    switch (end) {
        case JobEnd::kNotStarted:
            return "not-started";
        case JobEnd::kSwitchedOff:
            return "switched-off";
        case JobEnd::kPcClosed:
            return "pc-closed";
        case JobEnd::kDropped:
            return "line-dropped";
        case JobEnd::kStopped:
            return "stopped";
    }
    return "?";
}

Phone::Phone(PhoneOptions options, FlashMemory* flash, Trace* trace)
    : options_(std::move(options)), flash_(flash), trace_(trace) {}

JobReport Phone::RunJob(Channel& line, int number) {
    JobReport report;
    report.number = number;
    JobRunner(options_, flash_, trace_, line, report).Run();
    return report;
}

}  // namespace vbc::sim
