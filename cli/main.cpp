// vbcflash-cli: runs the main panel's Start job from the command line. The options go through
// the same commands as the panel's controls and menu items, on a toolkit without windows that
// prints what the panel would show.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>

#include "cli/jsonreport.h"
#include "cli/options.h"
#include "core/context.h"
#include "core/mfl3spm10.h"
#include "core/version.h"
#include "data/mfl51loadfile.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "toolkit/consoletoolkit.h"
#include "toolkit/toolkit.h"
#include "ui/mfl50dev.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/mfl53ser.h"
#include "ui/uirids.h"

namespace {

using vbc::platform::ConsoleToolkit;

constexpr int kExitBadOptions = 64;  // EX_USAGE
constexpr int kExitFlashTxt = 65;    // EX_DATAERR
constexpr int kExitInternal = 70;    // EX_SOFTWARE
constexpr const char* kProgram = "vbcflash-cli";
constexpr const char* kUsageHint = "Run with --help for more information.";

constexpr const char* kFooter =
    R"(It works in the current directory (or the DIR of -C), as the desktop tool does:
flash.txt, the bootstrap files mfl104_4.spm (product type 1) and mfl104_5.spm
(product type 2) and config.txt are read there. A relative FILE is taken from there too.

With --dump FILE no software is written: the tool boots the phone, identifies its flash,
raises the line speed, reads the whole flash (its size from flash.txt) or the --range
into FILE and switches the phone off. FILE appears only once every byte was read (a new
file renamed over it). Before the phone is booted, the tool checks that a file can be
created beside FILE; a FILE that is a symbolic link, a directory or a device is refused
(status 64), never replaced nor written through.

Numbers are decimal: --port 010 is COM10 (only the --range values take 0x for
hexadecimal).

Options apply in the order given: --restore sets the port, the product type, the
download type and the software file from config.txt, and the options after it win.
A failure while they apply (restore, file load, save) ends the run before any job.
config.txt does not hold the wait states or the line speed: --save keeps neither.

Output: every progress line of the job on standard output as it is added, the elapsed
time, and last the message of the result. With --json, JSON objects instead, one a line:
start, line, flash, progress, message, and last result (docs/JSON.md). A progress bar
goes to standard error when it is a terminal.

Exit status:
  0      the software was written into the flash (and verified with --verify), the
         --dump FILE was written and the phone switched off (or, without a job, the
         options applied)
  1-13   the category of the job's result: 1 download, 2 flash description, 3 config.txt,
         5 PC library, 6 boot (phone not answering, bootstrap, flash identification),
         8 target command (a --verify difference, a failed read), 9-13 sector download
         (acknowledge, checksum, time-out)
  130    stopped by SIGINT (Ctrl-C) during the job, 143 by SIGTERM: the port is released
         and the phone's flash may hold part of the software (a second Ctrl-C ends at once)
  64     bad options, or the --dump FILE cannot be created (before the phone is booted)
  65     flash.txt cannot be read or is malformed
  70     an internal fault of the tool
)";

// The signal that asked the job to stop, 0 while none came.
volatile std::sig_atomic_t gStopSignal = 0;

// How the run ended when that is not the result a step showed last (a dump that succeeded, a
// save alone, an error of the tool's own): --json's result says it. message: nothing for the
// result's own text.
struct Ending {
    vbc::DownloadResult result;
    std::optional<std::string> message;
};
std::optional<Ending> gEnding;

extern "C" void OnStopSignal(int signal) {
    gStopSignal = signal;
    vbc::RequestJobStop();
}

// SIGINT and SIGTERM stop the job at its next wait; the handler is reset once it ran, so a
// second Ctrl-C ends the program at once.
void StopOnSignals() {
    vbc::platform::CatchStopSignals(OnStopSignal);
}

// The last line of the comment list without its framing blanks: what a step that succeeds
// without a message panel (a save, a flash read) says it did.
std::string LastCommentText() {
    const auto& lines = vbc::CommentLines();
    if (lines.empty()) return "";
    const std::string& line = lines.back();
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

// An exit status of the tool's own (no result of a step decided it), with its reason.
int EndWith(int status, const std::string& message) {
    gEnding = Ending{vbc::DownloadResult{status, 0}, message};
    return status;
}

int Usage(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\n" << kUsageHint << "\n";
    return EndWith(kExitBadOptions, message);
}

// The exit status a result stands for; kExitInternal for a category the tool does not know.
int StatusOf(const vbc::DownloadResult& r) {
    if (r.category == vbc::ResultSuccess) return 0;
    // Stopped: the shell's status for the signal that stopped it.
    if (r.category == vbc::ResultStopped) return 128 + (gStopSignal != 0 ? gStopSignal : SIGINT);
    if (r.category >= 1 && r.category <= 13) return r.category;
    return kExitInternal;
}

// The job's exit status from the result the display showed last.
int ExitStatus(const vbc::DownloadResult& r) {
    const int status = StatusOf(r);
    if (status != kExitInternal) return status;
    const std::string message = "the job ended with an unknown result (category " +
                                std::to_string(r.category) + ", code " + std::to_string(r.code) +
                                ")";
    std::cerr << kProgram << ": " << message << "\n";
    return EndWith(kExitInternal, message);
}

// A step that showed a failure ends the run with its category.
bool FailureShown(int* status) {
    vbc::DownloadResult r;
    if (!vbc::LastDisplayedResult(&r) || r.category == vbc::ResultSuccess) return false;
    *status = ExitStatus(r);
    return true;
}

int Internal(const std::string& what, int code) {
    const std::string message = what + " failed (toolkit code " + std::to_string(code) + ")";
    std::cerr << kProgram << ": " << message << "\n";
    return EndWith(kExitInternal, message);
}

int ListPorts() {
    const auto ports = vbc::platform::ListSerialPorts();
    if (ports.empty()) std::cerr << kProgram << ": no serial ports found\n";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        std::printf("COM%zu\t%s\t%s\n", i + 1, ports[i].path.c_str(), ports[i].description.c_str());
    }
    std::fflush(stdout);
    return 0;
}

struct Job {
    std::string file;
    int port = 1;
    std::string device;
    int product = 2;
    std::array<int, 4> waitStates{};
    int speed = 1;
    CLI::Option* fileOpt = nullptr;
    CLI::Option* portOpt = nullptr;
    CLI::Option* deviceOpt = nullptr;
    CLI::Option* productOpt = nullptr;
    CLI::Option* waitStatesOpt = nullptr;
    CLI::Option* speedOpt = nullptr;
    CLI::Option* restoreOpt = nullptr;
    CLI::Option* saveOpt = nullptr;
    CLI::Option* jsonOpt = nullptr;
    // With --json: where the job's objects go.
    vbc::cli::JsonReport* json = nullptr;
    CLI::Option* verifyOpt = nullptr;
    std::string dumpFile;
    std::string dumpPath;  // absolute, once checked
    CLI::Option* dumpOpt = nullptr;
    std::uint32_t rangeOffset = 0;
    std::uint32_t rangeLength = 0;  // 0: the whole flash
    std::string unit;               // --unit
};

// Selects the menu item bound to callback on the main panel's current menu bar.
int SelectMenu(ConsoleToolkit& console, const char* callback) {
    const int item = console.MenuItemWithCallback(vbc::_v_MenuBarHandle, callback);
    if (item < 0) return item;
    return console.SelectMenuItem(vbc::_v_MenuBarHandle, item);
}

// Loads the software file as the panel's file dialog would have named it.
int LoadFile(const std::string& file) {
    std::error_code ec;
    const std::string path = std::filesystem::absolute(file, ec).string();
    if (ec) return Usage("cannot resolve the software file '" + file + "': " + ec.message());
    if (path.size() >= static_cast<std::size_t>(vbc::kPathSize)) {
        return Usage("the path of the software file is longer than " +
                     std::to_string(vbc::kPathSize - 1) + " characters: " + path);
    }
    std::memcpy(vbc::_sg_DownloadContext.claFileName, path.c_str(), path.size() + 1);
    vbc::_mfl51_0InitLoadFile();
    return 0;
}

// --dump FILE: where the file goes, as an absolute path, once it is known that a file can be
// created there; before the phone is booted, as reading a whole flash takes minutes. Returns 0
// or the status of the refusal.
int CheckDumpFile(Job& job) {
    std::error_code ec;
    const std::string path = std::filesystem::absolute(job.dumpFile, ec).string();
    if (ec) return Usage("cannot resolve the dump file '" + job.dumpFile + "': " + ec.message());
    if (path.size() >= static_cast<std::size_t>(vbc::kPathSize)) {
        return Usage("the path of the dump file is longer than " +
                     std::to_string(vbc::kPathSize - 1) + " characters: " + path);
    }
    const std::string problem = vbc::platform::AtomicWriteProblem(path.c_str());
    if (!problem.empty()) return Usage("--dump: cannot write '" + job.dumpFile + "': " + problem);
    job.dumpPath = path;
    return 0;
}

// --dump: the service panel's Switch on and Read flash (into FILE, the range chosen), then the
// switch-off command, whose answer counts: a phone that did not confirm is not known to be
// off. A failure ends the run with its result and leaves the phone as it is.
int Dump(ConsoleToolkit& console, const Job& job) {
    using namespace vbc;
    ClearLastDisplayedResult();
    if (job.json) job.json->JobStarts();
    int rc = SelectMenu(console, "_mfl51_150MMIMenuService");
    if (rc < 0) return Internal("the service menu", rc);
    rc = console.Commit(_v_ServicePanel, SERVICE_SWITCH_ON);
    if (rc < 0) return Internal("the Switch on control", rc);
    // A stop during the boot ends the boot with a failure of its own: the stop is the reason.
    if (JobStopRequested()) {
        AddCommentLine("Read stopped by the operator");
        _mfl52_10DisplayResult(ResultStopped, StopCode::kReadByOperator);
    }
    int status = 0;
    if (FailureShown(&status)) return status;

    SetReadFlashRange(job.rangeOffset, job.rangeLength);
    console.SetFileSelectAnswer(job.dumpPath);
    rc = console.Commit(_v_ServicePanel, SERVICE_READ_FLASH);
    console.SetFileSelectAnswer(std::nullopt);
    if (rc < 0) return Internal("the Read flash control", rc);
    DownloadResult result;
    if (LastDisplayedResult(&result)) return ExitStatus(result);

    const std::int32_t off = _mfl11_7SwitchOffCommand(_sg_DownloadContext.comPort);
    if (off != kStatusOk) {
        _mfl52_10DisplayResult(ResultCommand, off);
        return ExitStatus(DownloadResult{ResultCommand, off});
    }
    gEnding = Ending{DownloadResult{ResultSuccess, 0}, LastCommentText()};
    return 0;
}

// Applies the options in the order given, each through the command the panel uses for it,
// then runs the job. Returns the exit status.
int Run(ConsoleToolkit& console, const CLI::App& app, const Job& job) {
    using namespace vbc;
    const std::int32_t flashTxt = StartMainPanel();
    if (flashTxt != kStatusOk) {
        gEnding = Ending{DownloadResult{ResultFlashFile, flashTxt}, std::nullopt};
        return kExitFlashTxt;
    }
    console.SetBarCaption(_v_Panel, MAIN_TRANSFER_TEXT);

    const auto& order = app.parse_order();
    int status = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const CLI::Option* opt = order[i];
        ClearLastDisplayedResult();
        int rc = 0;
        if (opt == job.portOpt) {
            rc = console.Change(_v_Panel, MAIN_PORT, job.port);
            if (rc < 0) return Internal("the port selector", rc);
        } else if (opt == job.productOpt) {
            rc = console.Change(_v_Panel, MAIN_PRODUCT_TYPE, job.product);
            if (rc < 0) return Internal("the product-type selector", rc);
        } else if (opt == job.waitStatesOpt) {
            for (int cs = 0; cs < 4; ++cs) {
                rc = SelectMenu(console, WaitStateCallbackName(cs, job.waitStates[cs]));
                if (rc < 0) return Internal("the wait-state menu", rc);
            }
        } else if (opt == job.speedOpt) {
            rc = console.SelectMenuItem(_v_MenuBarHandle, LineSpeedItem(job.speed));
            if (rc < 0) return Internal("the line-speed menu", rc);
        } else if (opt == job.verifyOpt) {
            if (_sg_DownloadContext.verifyOption != 1) {
                rc = SelectMenu(console, "_mfl51_170MMIMenuVerify");
                if (rc < 0) return Internal("the verify menu", rc);
            }
        } else if (opt == job.restoreOpt) {
            rc = SelectMenu(console, "_mfl51_100MMIMenuRestore");
            if (rc < 0) return Internal("the restore menu", rc);
        } else if (opt == job.fileOpt) {
            // A restore given after the file names the file itself.
            bool restoreFollows = false;
            for (std::size_t k = i + 1; k < order.size(); ++k)
                restoreFollows = restoreFollows || order[k] == job.restoreOpt;
            if (restoreFollows) continue;
            rc = LoadFile(job.file);
            if (rc != 0) return rc;
        } else {
            continue;
        }
        if (FailureShown(&status)) return status;
    }

    // The device serves the port the options ended on.
    if (job.deviceOpt->count() > 0) {
        platform::BindPortDevice(_sg_DownloadContext.comPort, job.device);
    }

    if (job.saveOpt->count() > 0) {
        ClearLastDisplayedResult();
        const int rc = SelectMenu(console, "_mfl51_101MMIMenuSave");
        if (rc < 0) return Internal("the save menu", rc);
        if (FailureShown(&status)) return status;
        // Saving the settings was the whole run: it shows nothing when it succeeds.
        if (job.fileOpt->count() == 0 && job.restoreOpt->count() == 0 &&
            job.dumpOpt->count() == 0) {
            gEnding = Ending{DownloadResult{ResultSuccess, 0}, LastCommentText()};
            return 0;
        }
    }

    if (job.dumpOpt->count() > 0) return Dump(console, job);

    // Start refuses without an image, as it does on the panel: a name whose load failed showed
    // its result above, so only a config.txt that names no file gets here without one.
    const bool noName = _sg_DownloadContext.claFileName[0] == '\0';
    const bool noImage = _sg_DownloadContext.fileBuffer == nullptr;
    ClearLastDisplayedResult();
    if (job.json) job.json->JobStarts();
    const int rc = console.Commit(_v_Panel, MAIN_START);
    if (rc < 0) return Internal("the Start control", rc);
    if (noName || noImage) {
        return Usage(noName ? std::string("config.txt names no software file")
                            : "the software file " + std::string(_sg_DownloadContext.claFileName) +
                                  " is not loaded");
    }
    DownloadResult result;
    if (!LastDisplayedResult(&result)) {
        std::cerr << kProgram << ": the job ended without a result\n";
        return EndWith(kExitInternal, "the job ended without a result");
    }
    return ExitStatus(result);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Writes software into the flash memory of a VBC4410 phone over a serial port: boots the "
        "phone, identifies its flash, writes the file and switches the phone off.",
        kProgram};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string(kProgram) + " " + vbc::kVersion);

    Job job;
    std::string directory;
    bool listPorts = false;

    // The numbers are read by the checks both programs share (decimal, whatever the zeros).
    std::string port;
    std::string product;
    std::string speed;
    job.fileOpt = app.add_option("FILE", job.file, "Software file (*.cla) to write")->type_name("");
    job.portOpt =
        app.add_option("--port", port,
                       "Serial port number N, 1 to 255: the port named COMN (default 1)")
            ->type_name("N")
            ->check([](const std::string& text) { return vbc::cli::CheckPort(text, nullptr); }, "");
    job.deviceOpt = app.add_option("--device", job.device,
                                   "Serial device to use for the port, instead of resolving "
                                   "COMN (a COMN link here, then the N-th port of --list-ports)")
                        ->type_name("PATH");
    job.productOpt =
        app.add_option("--product", product,
                       "Product type: 1 (bootstrap mfl104_4.spm) or 2 (mfl104_5.spm, "
                       "the default)")
            ->type_name("N")
            ->check([](const std::string& text) { return vbc::cli::CheckProduct(text, nullptr); },
                    "");
    std::string waitStates;
    job.waitStatesOpt =
        app.add_option("--wait-states", waitStates,
                       "Wait states of chip selects 0 to 3, each 0 to 4, for the boot "
                       "(default 0,0,0,0)")
            ->type_name("W0,W1,W2,W3")
            ->check(
                [](const std::string& text) { return vbc::cli::CheckWaitStates(text, nullptr); },
                "");
    job.speedOpt =
        app.add_option("--speed", speed,
                       "Row of the speed table for the download after the boot, 0 to 8: 0 38400, "
                       "1 115200 (the default), 2 162500, 3 203125, 4 220338, 5 240740, "
                       "6 260000, 7 270833, 8 302325 bit/s; rows 3 and up send the GPIO "
                       "command first")
            ->type_name("ROW")
            ->check([](const std::string& text) { return vbc::cli::CheckSpeedRow(text, nullptr); },
                    "");
    job.restoreOpt =
        app.add_flag("--restore")->description("Restore the settings saved in config.txt first");
    job.saveOpt = app.add_flag("--save")->description(
        "Save the settings to config.txt once the options apply");
    job.jsonOpt = app.add_flag("--json")->description(
        "Report the job as JSON objects on standard output, one a line (docs/JSON.md)");
    job.verifyOpt =
        app.add_flag("--verify")
            ->description(
                "After the last sector, read back every byte written and compare it with the file; "
                "a "
                "difference fails the job (status 8) and the phone is not switched off");
    job.dumpOpt = app.add_option("--dump", job.dumpFile,
                                 "Write no software: read the phone's flash into FILE (it "
                                 "appears only once the whole read succeeded)")
                      ->type_name("FILE");
    const auto checkRange = [](const std::string& text) {
        return vbc::cli::CheckRange(text, nullptr, nullptr);
    };
    std::string range;
    auto* rangeOpt =
        app.add_option("--range", range,
                       "With --dump: read LENGTH bytes from OFFSET (from the flash's first byte), "
                       "each decimal or 0x hexadecimal; default the whole flash")
            ->type_name("OFFSET:LENGTH")
            ->check(checkRange, "");
    std::string readId;
    auto* readIdOpt =
        app.add_option("--read-id", readId,
                       "Before writing, read LENGTH bytes from OFFSET of the phone's flash (its "
                       "factory identity) and report them in hexadecimal; each decimal or 0x "
                       "hexadecimal")
            ->type_name("OFFSET:LENGTH")
            ->check(checkRange, "");
    auto* unitOpt = app.add_option("--unit", job.unit,
                                   "The phone's identity (a serial number, a scanned label), "
                                   "reported with the result")
                        ->type_name("ID");
    app.add_flag("--list-ports", listPorts,
                 "List the serial ports: COM number, device, description");
    app.add_option("-C", directory, "Change to DIR before anything else")->type_name("DIR");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        return Usage(e.what());
    }
    if (job.portOpt->count() > 0) vbc::cli::CheckPort(port, &job.port);
    if (job.productOpt->count() > 0) vbc::cli::CheckProduct(product, &job.product);
    if (job.speedOpt->count() > 0) vbc::cli::CheckSpeedRow(speed, &job.speed);
    if (job.waitStatesOpt->count() > 0) vbc::cli::CheckWaitStates(waitStates, &job.waitStates);
    if (!range.empty()) vbc::cli::CheckRange(range, &job.rangeOffset, &job.rangeLength);
    const bool dump = job.dumpOpt->count() > 0;
    if (dump && job.dumpFile.empty()) return Usage("--dump: the FILE is an empty name");
    if (dump && job.fileOpt->count() > 0)
        return Usage("--dump reads the flash: it takes no software FILE");
    if (dump && job.verifyOpt->count() > 0)
        return Usage("--verify checks a software download: it does not go with --dump");
    if (rangeOpt->count() > 0 && !dump) return Usage("--range goes with --dump only");
    if (dump && readIdOpt->count() > 0)
        return Usage("--read-id reads before a software download: it does not go with --dump");
    if (unitOpt->count() > 0 && job.unit.empty()) return Usage("--unit: the ID is empty");

    if (listPorts) {
        for (const CLI::Option* opt :
             {job.fileOpt, job.portOpt, job.deviceOpt, job.productOpt, job.waitStatesOpt,
              job.speedOpt, job.restoreOpt, job.saveOpt, job.jsonOpt, job.verifyOpt, job.dumpOpt,
              rangeOpt, readIdOpt, unitOpt}) {
            if (opt->count() > 0)
                return Usage("--list-ports runs no job: it takes no " + opt->get_name(true) +
                             " (only -C)");
        }
    } else if (job.fileOpt->count() > 0 && job.file.empty()) {
        return Usage("the software FILE is an empty name");
    } else if (job.fileOpt->count() == 0 && job.restoreOpt->count() == 0 &&
               job.saveOpt->count() == 0 && !dump) {
        return Usage(
            "a software FILE is required (or --restore to take the one config.txt "
            "names)");
    }
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
        return Usage("cannot change to directory '" + directory + "': " + std::strerror(errno));
    }
    if (listPorts) return ListPorts();
    if (dump) {
        if (const int refused = CheckDumpFile(job); refused != 0) return refused;
    }

    StopOnSignals();
    ConsoleToolkit console(stdout, stderr, vbc::platform::IsTerminal(stderr));
    console.SetTerminalEscapes(vbc::platform::EnableTerminalEscapes(stderr));
    vbc::cli::JsonReport json(stdout);
    if (!readId.empty()) {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        vbc::cli::CheckRange(readId, &offset, &length);
        vbc::SetIdentityRange(offset, length);
    }
    if (job.jsonOpt->count() > 0) {
        job.json = &json;
        json.SetUnit(job.unit);
        json.Begin(kProgram);
        console.SetOutputSink([&json](ConsoleToolkit::Output kind, const std::string& text) {
            json.Console(kind, text);
        });
        vbc::SetJobObserver(&json);
    }
    vbc::platform::SetToolkit(&console);
    const int status = Run(console, app, job);
    if (job.json) {
        // The last object, always: the result that decided the exit status, whatever step
        // showed it, or the ending the run recorded itself.
        vbc::DownloadResult shown;
        if (gEnding && gEnding->message) {
            json.Result(gEnding->result, *gEnding->message);
        } else if (gEnding) {
            json.Result(gEnding->result);
        } else if (vbc::LastDisplayedResult(&shown) && StatusOf(shown) == status) {
            json.Result(shown);
        } else {
            json.Result(vbc::DownloadResult{status, 0}, "");
        }
        vbc::SetJobObserver(nullptr);
    }
    vbc::platform::CloseAllPorts();
    vbc::ResetDownloadContext();
    vbc::platform::SetToolkit(nullptr);
    return status;
}
