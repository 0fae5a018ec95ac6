// The simulated phone on a pseudo-terminal, served from a thread of its own: what vbcsim runs,
// and what tests and benchmarks start in-process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/uniquefd.h"
#include "sim/flashmemory.h"
#include "sim/phone.h"
#include "sim/ptyhost.h"
#include "sim/trace.h"

namespace vbc::sim {

struct SimulatorOptions {
    PhoneOptions phone;
    std::string flashTxt = "flash.txt";
    // Report phone.manufacturer and phone.device; otherwise the first chip flash.txt describes.
    bool chooseFlash = false;
    bool unknownManufacturer = false;  // report manufacturer 0x55, which no tool knows
    bool unlistedFlash = false;        // report a device code flash.txt does not describe
    std::string flashIn;               // initial flash content (raw image)
    std::string flashOut;              // the whole flash, written at the end of every job
    std::string linkName = "COM1";     // empty: no link
    std::string linkDir = ".";
    // The faults of each job in turn, in place of phone.faults (jobs past the last have none);
    // with them every job starts with the flash as it was at the start: each job is another
    // phone.
    std::vector<Faults> jobFaults;
    bool faultsPerJob = false;
    bool pace = false;  // take the line's time for every byte
    bool once = false;  // serve one job, then stop
    bool trace = false;
    std::string traceFile;     // empty: the trace goes to stderr
    std::FILE* out = nullptr;  // slave path and one summary line a job (vbcsim: stdout)
    std::FILE* log = nullptr;  // warnings and the notes of each job (vbcsim: stderr)
};

// The phone the options describe, before any line: the codes it reports (the first chip of
// flash.txt unless the options choose them) and its flash, loaded from flashIn.
struct PhoneSetup {
    std::unique_ptr<FlashDescriptionTable> table;
    PhoneOptions phone;
    std::unique_ptr<FlashMemory> flash;
    std::string warning;  // what the operator should be told, even when the setup fails
};
// False, with the reason, when flash.txt or flashIn cannot be used.
bool SetUpPhone(const SimulatorOptions& options, PhoneSetup* setup, std::string* error);

// The summary line of a job, as vbcsim prints it.
std::string JobSummary(const JobReport& report, const FlashMemory& flash);

class Simulator {
  public:
    explicit Simulator(SimulatorOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Reads flash.txt, opens the pseudo-terminal, links the name and starts serving.
    // False, with the reason, when any of it fails.
    bool Start(std::string* error);
    // Ends the job in progress, removes the link and closes the line. Safe to call twice.
    void Stop();
    // Blocks until the simulator has stopped by itself (--once, a failure) or by Stop().
    void Wait();
    bool Running() const;

    std::string SlavePath() const;
    std::string LinkName() const;  // path of the link, empty without one
    std::uint8_t Manufacturer() const { return phoneOptions_.manufacturer; }
    std::uint8_t Device() const { return phoneOptions_.device; }
    bool FlashKnown() const { return flash_ && flash_->Known(); }

    // Waits until at least jobs jobs have ended; false when the time runs out first.
    bool WaitJobDone(std::chrono::milliseconds timeout, int jobs = 1);
    int JobsDone() const;
    JobReport LastJob() const;
    std::vector<JobReport> Jobs() const;
    std::vector<std::uint8_t> FlashImage() const;
    const FlashMemory& Flash() const { return *flash_; }
    // Why the simulator stopped by itself, when it did on a failure.
    std::string Error() const;

  private:
    void Host();
    void FinishJob(const JobReport& report);
    void Log(const std::string& text);

    SimulatorOptions options_;
    PhoneOptions phoneOptions_;
    std::unique_ptr<FlashDescriptionTable> table_;
    std::unique_ptr<FlashMemory> flash_;
    std::vector<std::uint8_t> firstFlash_;  // what every job starts with, with faultsPerJob
    std::FILE* traceFile_ = nullptr;
    std::unique_ptr<Trace> trace_;
    std::unique_ptr<Phone> phone_;
    platform::UniqueFd stopFd_;
    std::unique_ptr<PtyLine> line_;
    std::string linkPath_;
    std::thread thread_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool running_ = false;
    std::string slavePath_;
    std::vector<JobReport> jobs_;
    std::string error_;
};

}  // namespace vbc::sim
