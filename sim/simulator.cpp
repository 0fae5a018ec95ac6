#include "sim/simulator.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/files.h"

namespace vbc::sim {
namespace {

constexpr std::uint8_t kUnknownManufacturer = 0x55;

}  // namespace

std::string JobSummary(const JobReport& r, const FlashMemory& flash) {
    return Format(
        "job %d end=%s product-type=%d bootstrap=%s sectors=%d bytes=%llu resends=%d "
        "flash-size=%u flash-sum=0x%08X flash-crc32=0x%08X pc-rate=%ld phone-rate=%ld "
        "answered=%s",
        r.number, JobEndName(r.end), r.productType,
        r.bootstrapRunning ? "running" : (r.bootRefusal.empty() ? "not-started" : "refused"),
        r.sectorsWritten, static_cast<unsigned long long>(r.bytesWritten), r.resends, flash.Size(),
        flash.Sum(), flash.Crc32(), r.pcRate, r.phoneRate, r.answered ? "yes" : "no");
}

bool SetUpPhone(const SimulatorOptions& options, PhoneSetup* setup, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    setup->table = std::make_unique<FlashDescriptionTable>();
    FlashDescriptionTable& table = *setup->table;
    std::string why;
    if (!LoadFlashTable(options.flashTxt, &table, &why)) return fail(why);

    PhoneOptions& phone = setup->phone;
    phone = options.phone;
    if (!options.chooseFlash) {
        if (table.count == 0) {
            return fail(options.flashTxt + " describes no flash chip: choose the codes to report");
        }
        phone.manufacturer = table.descriptions[0].manufacturerId;
        phone.device = table.descriptions[0].deviceId;
    }
    if (options.unknownManufacturer) phone.manufacturer = kUnknownManufacturer;
    if (options.unlistedFlash) {
        int device = 0;
        while (device < 256 &&
               FindFlash(table, phone.manufacturer, static_cast<std::uint8_t>(device)))
            ++device;
        if (device == 256) return fail("flash.txt describes every device of this manufacturer");
        phone.device = static_cast<std::uint8_t>(device);
    }
    const FlashDescription* description = FindFlash(table, phone.manufacturer, phone.device);
    setup->flash =
        description ? std::make_unique<FlashMemory>(*description) : std::make_unique<FlashMemory>();
    if (!description) {
        setup->warning =
            Format("flash 0x%02X:0x%02X is not described in %s: sector commands will be refused",
                   phone.manufacturer, phone.device, options.flashTxt.c_str());
    }
    if (!options.flashIn.empty()) {
        std::vector<std::uint8_t> image;
        if (!platform::ReadWholeFile(options.flashIn.c_str(), image))
            return fail("cannot read " + options.flashIn);
        if (!description) return fail("no flash to load " + options.flashIn + " into");
        if (!setup->flash->Load(image, &why)) return fail(options.flashIn + ": " + why);
    }
    return true;
}

Simulator::Simulator(SimulatorOptions options) : options_(std::move(options)) {}

Simulator::~Simulator() {
    Stop();
    if (traceFile_) std::fclose(traceFile_);
}

void Simulator::Log(const std::string& text) {
    if (!options_.log) return;
    std::fprintf(options_.log, "vbcsim: %s\n", text.c_str());
    std::fflush(options_.log);
}

bool Simulator::Start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (thread_.joinable()) return fail("the simulator is already running");

    PhoneSetup setup;
    std::string why;
    const bool ready = SetUpPhone(options_, &setup, &why);
    if (!setup.warning.empty()) Log(setup.warning);
    table_ = std::move(setup.table);
    phoneOptions_ = setup.phone;
    flash_ = std::move(setup.flash);
    if (!ready) return fail(why);

    if (options_.trace) {
        std::FILE* out = stderr;
        if (!options_.traceFile.empty()) {
            traceFile_ = std::fopen(options_.traceFile.c_str(), "w");
            if (!traceFile_) return fail("cannot write the trace to " + options_.traceFile);
            out = traceFile_;
        }
        trace_ = std::make_unique<Trace>(out);
    }
    phone_ = std::make_unique<Phone>(phoneOptions_, flash_.get(), trace_.get());
    if (options_.faultsPerJob) firstFlash_ = flash_->Image();

    if (!stopFd_.Valid()) stopFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd_.Valid()) return fail("cannot create an event descriptor");
    line_ = std::make_unique<PtyLine>(stopFd_.Get(), options_.pace);
    if (!line_->Open(&why)) return fail(why);
    if (!line_->WatchesPeer())
        Log("cannot watch the pseudo-terminal: a job only ends at the switch-off or a stop");
    if (!options_.linkName.empty()) {
        linkPath_ = options_.linkDir + "/" + options_.linkName;
        if (!MakeLink(linkPath_, line_->SlavePath(), &why)) {
            linkPath_.clear();
            line_->Close();
            return fail(why);
        }
    }
    {
        std::lock_guard lock(mu_);
        slavePath_ = line_->SlavePath();
        running_ = true;
    }
    if (options_.out) {
        std::fprintf(options_.out, "%s\n", line_->SlavePath().c_str());
        std::fflush(options_.out);
    }
    thread_ = std::thread([this] { Host(); });
    return true;
}

void Simulator::Host() {
    for (int number = 1;; ++number) {
        if (options_.faultsPerJob) {
            // Another phone: its own faults, and the flash it came with.
            PhoneOptions phone = phoneOptions_;
            const auto index = static_cast<std::size_t>(number - 1);
            phone.faults = index < options_.jobFaults.size() ? options_.jobFaults[index] : Faults{};
            phone_ = std::make_unique<Phone>(phone, flash_.get(), trace_.get());
            std::string why;
            if (!flash_->Load(firstFlash_, &why)) Log("cannot restore the flash: " + why);
        }
        const JobReport report = phone_->RunJob(*line_, number);
        if (report.end == JobEnd::kNotStarted) break;
        // After a drop the cable is back: a fresh line under the same name, in place before
        // anyone learns that the job ended.
        std::string why;
        const bool reconnect = report.end == JobEnd::kDropped && !options_.once;
        const bool reconnected =
            reconnect && line_->Open(&why) &&
            (linkPath_.empty() || MakeLink(linkPath_, line_->SlavePath(), &why));
        if (reconnected) {
            std::lock_guard lock(mu_);
            slavePath_ = line_->SlavePath();
        }
        FinishJob(report);
        if (reconnect && !reconnected) {
            Log(why);
            std::lock_guard lock(mu_);
            error_ = why;
            break;
        }
        if (reconnected && options_.out) {
            std::fprintf(options_.out, "%s\n", line_->SlavePath().c_str());
            std::fflush(options_.out);
        }
        if (report.end == JobEnd::kStopped || options_.once) break;
    }
    std::lock_guard lock(mu_);
    running_ = false;
    cv_.notify_all();
}

void Simulator::FinishJob(const JobReport& report) {
    for (const std::string& note : report.notes)
        Log(Format("job %d: %s", report.number, note.c_str()));
    if (!options_.flashOut.empty()) {
        const auto image = flash_->Image();
        if (!platform::WriteFileAtomically(options_.flashOut.c_str(),
                                           std::string(image.begin(), image.end())))
            Log("cannot write the flash image to " + options_.flashOut);
    }
    if (options_.out) {
        std::fprintf(options_.out, "%s\n", JobSummary(report, *flash_).c_str());
        std::fflush(options_.out);
    }
    std::lock_guard lock(mu_);
    jobs_.push_back(report);
    cv_.notify_all();
}

void Simulator::Stop() {
    if (stopFd_.Valid()) {
        const std::uint64_t one = 1;
        if (::write(stopFd_.Get(), &one, sizeof one) < 0) {
            // Already signalled (the counter is full): the host sees it just the same.
        }
    }
    if (thread_.joinable()) thread_.join();
    if (line_) {
        if (!linkPath_.empty()) RemoveLink(linkPath_, line_->SlavePath());
        line_->Close();
    }
    linkPath_.clear();
}

void Simulator::Wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return !running_; });
}

bool Simulator::Running() const {
    std::lock_guard lock(mu_);
    return running_;
}

std::string Simulator::SlavePath() const {
    std::lock_guard lock(mu_);
    return slavePath_;
}

std::string Simulator::LinkName() const {
    return linkPath_;
}

bool Simulator::WaitJobDone(std::chrono::milliseconds timeout, int jobs) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return static_cast<int>(jobs_.size()) >= jobs; });
}

int Simulator::JobsDone() const {
    std::lock_guard lock(mu_);
    return static_cast<int>(jobs_.size());
}

JobReport Simulator::LastJob() const {
    std::lock_guard lock(mu_);
    return jobs_.empty() ? JobReport{} : jobs_.back();
}

std::vector<JobReport> Simulator::Jobs() const {
    std::lock_guard lock(mu_);
    return jobs_;
}

std::vector<std::uint8_t> Simulator::FlashImage() const {
    return flash_ ? flash_->Image() : std::vector<std::uint8_t>{};
}

std::string Simulator::Error() const {
    std::lock_guard lock(mu_);
    return error_;
}

}  // namespace vbc::sim
