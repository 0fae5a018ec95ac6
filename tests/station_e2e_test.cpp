// vbcflash-station run as a process against several vbcsim processes on pseudo-terminals in one
// directory (COM1...COM4): the log of every phone, faults kept to their port, phones that come
// later, and a log that survives the station being killed.
#if defined(VBC_STATION_PATH) && defined(VBC_SIM_PATH)

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/resultcodes.h"
#include "core/version.h"
#include "platform/process.h"
#include "platform/serial.h"
#include "station/station.h"
#include "tests/child.h"
#include "tests/stationfixture.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

const std::regex kIsoUtc(
    "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}Z");

TEST(StationE2eCases, PortListsAndBadOptions) {
    std::vector<int> ports;
    ASSERT_TRUE(station::ParsePortList("1-4,7", &ports));
    EXPECT_EQ(ports, (std::vector<int>{1, 2, 3, 4, 7}));
    ASSERT_TRUE(station::ParsePortList("3,1-2,2", &ports));
    EXPECT_EQ(ports, (std::vector<int>{3, 1, 2}));
    for (const char* bad : {"", "0", "256", "1-", "4-1", "1,,2", "1,", "a", "1-2-3"})
        EXPECT_FALSE(station::ParsePortList(bad, &ports)) << bad;
}

// The image's hash in the log, on the standard's own examples.
TEST(StationE2eCases, Sha256HexKnownAnswers) {
    const auto bytes = [](const std::string& s) {
        return std::vector<std::uint8_t>(s.begin(), s.end());
    };
    EXPECT_EQ(station::Sha256Hex({}),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(station::Sha256Hex(bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(station::Sha256Hex(bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(station::Sha256Hex(bytes(std::string(1'000'000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(StationE2e, BadOptionsAndABrokenFlashTxtStopBeforeAnyPort) {
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--ports", "1-2", "--device", "3=/dev/null", "soft.cla"}, 64},
        {{"--ports", "x", "soft.cla"}, 64},
        {{"soft.cla"}, 64},
        {{"--ports", "1", "missing.cla"}, 64},
        {{"--ports", "1", "--speed", "9", "soft.cla"}, 64},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {VBC_STATION_PATH, "-C", dir_.path().string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        test::Child station(args);
        EXPECT_EQ(station.Wait(), c.status) << c.args[1];
    }
    // Files every worker reads, checked once before any port starts.
    fs::rename(dir_.path() / "mfl104_5.spm", dir_.path() / "spm.away");
    test::Child noSpm({VBC_STATION_PATH, "-C", dir_.path().string(), "--ports", "1", "soft.cla"});
    EXPECT_EQ(noSpm.Rest(),
              "vbcflash-station: mfl104_5.spm, the bootstrap of product type 2: LIB_PC : File "
              "not found\n");
    EXPECT_EQ(noSpm.Wait(), 66);
    fs::rename(dir_.path() / "spm.away", dir_.path() / "mfl104_5.spm");
    // A station with no vbcflash-cli beside it has no worker to run: an internal fault.
    const fs::path alone = dir_.path() / "alone" / "vbcflash-station";
    fs::create_directory(alone.parent_path());
    fs::copy_file(VBC_STATION_PATH, alone);
    test::Child noWorker({alone.string(), "-C", dir_.path().string(), "--ports", "1", "soft.cla"});
    EXPECT_EQ(noWorker.Rest(),
              "vbcflash-station: cannot find the worker program vbcflash-cli "
              "beside " +
                  alone.string() + "\n");
    EXPECT_EQ(noWorker.Wait(), 70);
    test::WriteFile(dir_.path() / "flash.txt", "not a flash description\n");
    test::Child station({VBC_STATION_PATH, "-C", dir_.path().string(), "--ports", "1", "soft.cla"});
    EXPECT_EQ(station.Wait(), 65);
    EXPECT_FALSE(fs::exists(dir_.path() / "station.jsonl"));
}

// Four phones at once, one with a sector whose checksum fails on every try: four records, the
// failed one with its category and code, the other phones written.
TEST_F(StationE2e, FourPhonesAtOnceOneFailingEveryTryEachLoggedWithItsResult) {
    std::map<int, std::string> slaves;
    for (int n = 1; n <= 4; ++n)
        slaves[n] = StartPhone(n, n == 3 ? std::vector<std::string>{"--bad-checksum", "0:*"}
                                         : std::vector<std::string>{});
    auto station = Station({"--ports", "1-4"});
    EXPECT_EQ(station->Wait(), 1);

    const auto records = Log();
    ASSERT_EQ(records.size(), 4u);
    const std::string sha = station::Sha256Hex({software_.begin(), software_.end()});
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(records.at(n).size(), 1u);
        const Json& r = records.at(n)[0];
        std::vector<std::string> keys;
        for (const auto& item : r.items()) keys.push_back(item.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"start", "end", "port", "device", "software",
                                                  "sha256", "bytes", "product", "speed", "verify",
                                                  "flash", "ok", "category", "code", "message",
                                                  "seconds", "resends", "station", "version"}));
        EXPECT_TRUE(std::regex_match(r["start"].get<std::string>(), kIsoUtc)) << r["start"];
        EXPECT_TRUE(std::regex_match(r["end"].get<std::string>(), kIsoUtc)) << r["end"];
        EXPECT_LE(r["start"].get<std::string>(), r["end"].get<std::string>());
        EXPECT_EQ(r["device"], slaves[n]);
        EXPECT_EQ(r["software"], "soft.cla");
        EXPECT_EQ(r["sha256"], sha);
        EXPECT_EQ(r["bytes"], software_.size());
        EXPECT_EQ(r["product"], 2);
        EXPECT_EQ(r["speed"], 115200);
        EXPECT_EQ(r["verify"], false);
        EXPECT_EQ(r["flash"], "ST M36DR864CB");
        EXPECT_GT(r["seconds"].get<double>(), 0);
        EXPECT_EQ(r["station"], platform::HostName());
        EXPECT_EQ(r["version"], kVersion);
        if (n == 3) {
            EXPECT_EQ(r["ok"], false);
            EXPECT_EQ(r["category"], ResultChecksum);
            EXPECT_EQ(r["code"], 204);
            EXPECT_EQ(r["message"], "Problem : Bad checksum");
            EXPECT_EQ(r["resends"], 2);
        } else {
            EXPECT_EQ(r["ok"], true);
            EXPECT_EQ(r["category"], 0);
            EXPECT_EQ(r["code"], 0);
            EXPECT_EQ(r["message"], "The software has been downloaded successfully.");
            EXPECT_EQ(r["resends"], 0);
            EXPECT_TRUE(FlashHoldsTheImage(n));
        }
    }
}

// A port whose phone does not answer (and then has no device at all) waits quietly; the phone
// that comes seconds later is served then, and only it is logged.
TEST_F(StationE2e, APhoneThatComesLaterIsServedThenWithoutRecordsForTheQuietBoots) {
    StartPhone(1);
    StartPhone(2, {"--never-answer"});
    auto station = Station({"--ports", "1-2"});
    // The silent phone's one boot ends on the PC's time-out and the simulator goes away.
    EXPECT_EQ(sims_[2]->Wait(), 0);
    const std::string slave = StartPhone(2);
    EXPECT_EQ(station->Wait(), 0);
    const auto records = Log();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records.at(2).size(), 1u);
    EXPECT_EQ(records.at(2)[0]["ok"], true);
    EXPECT_EQ(records.at(2)[0]["device"], slave);
    EXPECT_TRUE(FlashHoldsTheImage(2));
}

// The library's station on COM5 with a stand-in worker: a shell script that writes what a
// worker would. Each start appends its time (ns) to "launches"; Step runs until done or 60 s.
// The silence limit is far beyond any wait here unless a case is about silence.
struct StandIn {
    static constexpr int kNoSilenceLimit = 600'000;
    StandIn(const fs::path& dir, const std::string& script, int silenceLimitMs = kNoSilenceLimit)
        : dir(dir) {
        const fs::path worker = dir / "worker.sh";
        test::WriteFile(worker, "#!/bin/sh\ndate +%s%N >> launches\n" + script + "\n");
        fs::permissions(worker, fs::perms::owner_all);
        for (const char* f : {"station.jsonl", "launches"}) fs::remove(dir / f);
        station::Settings settings;
        settings.ports = {5};
        settings.once = true;
        settings.workerProgram = worker.string();
        settings.imagePath = "soft.cla";
        settings.logPath = (dir / "station.jsonl").string();
        settings.silenceLimitMs = silenceLimitMs;
        settings.noPhoneRetryMs = kRetryMs;
        st = std::make_unique<station::Station>(settings);
        EXPECT_TRUE(st->OpenLog(nullptr));
    }
    bool RunUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            st->Step(20);
            for (auto& e : st->TakeEvents()) events.push_back(e.text);
        }
        return done();
    }
    std::vector<long long> Launches() const {
        std::vector<long long> times;
        std::istringstream in(test::ReadFile(dir / "launches"));
        for (long long t; in >> t;) times.push_back(t);
        return times;
    }

    static constexpr int kRetryMs = 200;
    fs::path dir;
    std::unique_ptr<station::Station> st;
    std::vector<std::string> events;
};

constexpr const char* kLoadLine =
    "echo '{\"event\":\"line\",\"text\":\" Software file loading, please wait...  \"}'\n";
constexpr const char* kPhone = "echo '{\"event\":\"phone\"}'\n";

// Whatever a worker does before a boot loader answers, there is no phone: no record, the
// reason shown once on the port (never "booting"), the port tried again only after a pause.
TEST_F(StationE2e, NoPhoneNoRecord) {
    const struct {
        const char* name;
        std::string script;
        const char* note;
    } cases[] = {
        {"the port cannot be opened",
         std::string(kLoadLine) +
             "echo '{\"event\":\"line\",\"text\":\" Cannot open COM5 (/dev/x): No such file "
             "\"}'\n"
             "echo '{\"event\":\"result\",\"ok\":false,\"category\":" +
             std::to_string(ResultLibPc) + ",\"code\":" + std::to_string(kComErrCannotOpen) +
             ",\"message\":\"x\",\"seconds\":0,\"resends\":0}'",
         "cannot open the port: Cannot open COM5 (/dev/x): No such file"},
        {"a bootstrap went missing",
         std::string(kLoadLine) + "echo '{\"event\":\"result\",\"ok\":false,\"category\":" +
             std::to_string(ResultLibPc) +
             ",\"code\":3,\"message\":\"LIB_PC : File not found\",\"seconds\":0,\"resends\":0}'",
         "cannot boot: LIB_PC : File not found"},
        // Its own stop signal before it could catch it, as a stop at its start does.
        {"ended on a signal", "kill -TERM $$",
         "cannot boot: The worker ended on signal 15 (Terminated)."},
        {"exited without a result", std::string(kLoadLine) + "echo oops; exit 2",
         "cannot boot: The worker exited with status 2 without a result: oops"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandIn s(dir_.path(), c.script);
        ASSERT_TRUE(s.RunUntil([&] { return s.Launches().size() >= 3; }));
        EXPECT_FALSE(s.st->Finished());  // --once waits for a phone: none came
        const auto ports = s.st->Ports();
        EXPECT_EQ(ports[0].state, station::State::kNoPort);
        EXPECT_EQ(ports[0].note, c.note);
        EXPECT_EQ(s.events, std::vector<std::string>{c.note});
        const auto times = s.Launches();
        for (std::size_t i = 1; i < times.size(); ++i)
            EXPECT_GE(times[i] - times[i - 1], StandIn::kRetryMs * 1'000'000LL) << i;
        EXPECT_EQ(s.st->GetTotals().failed, 0);
        EXPECT_EQ(test::ReadFile(dir_.path() / "station.jsonl"), "");
    }

    // A stop reaching a worker still waiting for a phone: nothing logged, the station ends.
    StandIn waiting(dir_.path(), std::string(kLoadLine) + "exec sleep 30");
    ASSERT_TRUE(waiting.RunUntil([&] { return waiting.Launches().size() == 1; }));
    waiting.st->Stop();
    ASSERT_TRUE(waiting.RunUntil([&] { return waiting.st->Finished(); }));
    EXPECT_EQ(test::ReadFile(dir_.path() / "station.jsonl"), "");

    // A worker inherits its standard descriptors and nothing else (no stray /dev/null).
    StandIn fds(dir_.path(), "exec ls /proc/self/fd > fds");
    ASSERT_TRUE(fds.RunUntil([&] { return fs::exists(dir_.path() / "fds"); }));
    EXPECT_EQ(test::ReadFile(dir_.path() / "fds"), "0\n1\n2\n3\n");  // 3: ls's own listing
}

// Once the boot loader answered, a worker that hangs (silent past the limit, or deaf to the
// stop for 10 s) or exits without a result is an internal fault of that phone, and --once then
// ends the port.
TEST_F(StationE2e, AHungWorkerAndOneWithoutAResultAreInternalFaults) {
    const std::string kHangs = std::string(kLoadLine) + kPhone + "exec sleep 30";
    const struct {
        const char* name;
        std::string script;
        int silenceLimitMs;
        bool stop;  // the station is stopped once the phone answered
        int code;
        const char* message;
        double atLeastSeconds;  // of the job, as logged
    } cases[] = {
        {"silent", kHangs, 1000, false, station::InternalFaultCode::kStoppedAnswering,
         "The worker gave no sign of life for 1 s and was ended.", 1.0},
        {"deaf to the stop", "trap '' TERM\n" + kHangs, StandIn::kNoSilenceLimit, true,
         station::InternalFaultCode::kStoppedAnswering,
         "The worker did not stop within 10 s and was ended.", 10.0},
        {"no result", std::string(kPhone) + "echo 'something broke'; exit 3",
         StandIn::kNoSilenceLimit, false, station::InternalFaultCode::kNoResult,
         "The worker exited with status 3 without a result: something broke", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandIn s(dir_.path(), c.script, c.silenceLimitMs);
        ASSERT_TRUE(s.RunUntil([&] { return !s.events.empty(); }));
        EXPECT_EQ(s.events[0], "booting");
        if (c.stop) s.st->Stop();
        ASSERT_TRUE(s.RunUntil([&] { return s.st->Finished(); }));
        const auto records = Log();
        ASSERT_EQ(records.at(5).size(), 1u);
        const Json& r = records.at(5)[0];
        EXPECT_EQ(r["ok"], false);
        EXPECT_EQ(r["category"], station::kInternalFaultCategory);
        EXPECT_EQ(r["code"], c.code);
        EXPECT_EQ(r["message"], c.message);
        EXPECT_GE(r["seconds"].get<double>(), c.atLeastSeconds);
        EXPECT_EQ(s.st->GetTotals().failed, 1);
    }
}

// The worker process of a port, found among the station's children by its --port.
int WorkerOf(int stationPid, int port) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = test::ReadFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        int ppid = 0;
        fields >> state >> ppid;
        const std::string cmdline = test::ReadFile(entry.path() / "cmdline");
        const std::string wanted = std::string("--port") + '\0' + std::to_string(port) + '\0';
        if (ppid == stationPid && cmdline.find(wanted) != std::string::npos)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

// A worker killed mid-transfer is an internal fault of its phone; the other ports pass.
TEST_F(StationE2e, AWorkerKilledMidTransferIsLoggedAsAnInternalFault) {
    StartPhone(1);
    StartPhone(2, {"--pace"});
    StartPhone(3);
    auto station = Station({"--ports", "1-3"});
    ASSERT_TRUE(WaitFor(*station, " COM2 ", " writing"));
    const int worker = WorkerOf(station->Pid(), 2);
    ASSERT_GT(worker, 0);
    ASSERT_EQ(::kill(worker, SIGKILL), 0);
    EXPECT_EQ(station->Wait(), 1);
    const auto records = Log();
    ASSERT_EQ(records.size(), 3u);
    const Json& r = records.at(2).at(0);
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["category"], station::kInternalFaultCategory);
    EXPECT_EQ(r["code"], station::InternalFaultCode::kWorkerDied);
    EXPECT_EQ(r["message"], "The worker ended on signal 9 (Killed).");
    EXPECT_TRUE(r["resends"].is_null());
    for (int n : {1, 3}) EXPECT_EQ(records.at(n).at(0)["ok"], true) << n;
}

// Killed outright as it begins its second record (strace stops it at that write), the station
// leaves the first record whole (a record written in pieces would show its first piece) and no
// job running; stopped by SIGINT or SIGTERM, it logs the phone under way as stopped and exits
// with the shell's status for the signal.
TEST_F(StationE2e, TheLogSurvivesAKilledStationAndAStopLogsThePhoneAsStopped) {
    ASSERT_TRUE(fs::exists("/usr/bin/strace")) << "scripts/deps.sh installs strace";
    const fs::path log = dir_.path() / "station.jsonl";
    StartPhone(1);
    StartPhone(2);
    StartPhone(3, {"--pace"});
    auto station = Station({"--ports", "1-3"}, "soft.cla",
                           {"/usr/bin/strace", "-o", "/dev/null", "-P", log.string(), "-e",
                            "trace=write", "-e", "inject=write:signal=SIGKILL:when=2"});
    EXPECT_EQ(station->Wait(), std::nullopt);
    EXPECT_EQ(station->EndSignal(), SIGKILL);
    auto records = Log();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.begin()->second.size(), 1u);
    EXPECT_EQ(records.count(3), 0u);
    // Its worker went with it: the paced phone's job ends as the PC closes the line.
    const std::string rest = sims_[3]->Rest();
    EXPECT_NE(rest.find("end=pc-closed"), std::string::npos) << rest;

    // COM4 waits for a phone meanwhile: its worker's setting lines are no phone, so the stop
    // logs none there.
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        SCOPED_TRACE(signal);
        fs::remove(log);
        StartPhone(3, {"--pace"});
        StartPhone(4, {"--never-answer"});
        station = Station({"--ports", "3-4"});
        ASSERT_TRUE(WaitFor(*station, "writing"));
        station->Signal(signal);
        EXPECT_EQ(station->Wait(), status);
        records = Log();
        ASSERT_EQ(records.size(), 1u);
        ASSERT_EQ(records.at(3).size(), 1u);
        const Json& r = records.at(3)[0];
        EXPECT_EQ(r["category"], ResultStopped);
        EXPECT_EQ(r["code"], StopCode::kByOperator);
        EXPECT_EQ(r["message"],
                  "Download stopped: the phone's flash may hold part of the software. Run it again "
                  "before use.");
    }
}

// A stand-in worker that ignores the stop keeps the stopped station waiting for it; a second
// Ctrl-C ends the station at once, before the worker is given up and logged.
TEST_F(StationE2e, ASecondCtrlCEndsTheStationAtOnce) {
    const fs::path bin = dir_.path() / "bin";
    fs::create_directory(bin);
    fs::copy_file(VBC_STATION_PATH, bin / "vbcflash-station");
    test::WriteFile(bin / "vbcflash-cli",
                    std::string("#!/bin/sh\ntrap '' TERM INT\necho $$ > worker.pid\n") + kLoadLine +
                        kPhone + "exec sleep 60\n");
    fs::permissions(bin / "vbcflash-cli", fs::perms::owner_all);
    test::Child station({(bin / "vbcflash-station").string(), "-C", dir_.path().string(), "--ports",
                         "1", "soft.cla"});
    ASSERT_TRUE(WaitFor(station, " COM1 ", " booting"));
    station.Signal(SIGINT);
    ASSERT_TRUE(station.WaitForHandler(SIGINT, false));
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), std::nullopt);
    EXPECT_EQ(station.EndSignal(), SIGINT);
    EXPECT_EQ(test::ReadFile(dir_.path() / "station.jsonl"), "");
    const int worker = std::atoi(test::ReadFile(dir_.path() / "worker.pid").c_str());
    ASSERT_GT(worker, 0);
    ::kill(worker, SIGKILL);
}

// --verify: each phone is read back after writing ("verifying" on its port), its record says
// so, and a cell that did not take the write fails its phone with the address.
TEST_F(StationE2e, VerifyReadsEachPhoneBackAndTheLogSaysSo) {
    StartPhone(1);
    StartPhone(2, {"--stuck-bit", "0x1170"});
    auto station = Station({"--ports", "1-2", "--verify"});
    ASSERT_TRUE(WaitFor(*station, " COM1 ", " verifying"));
    EXPECT_EQ(station->Wait(), 1);
    const auto records = Log();
    ASSERT_EQ(records.size(), 2u);
    for (int n : {1, 2}) {
        SCOPED_TRACE(n);
        ASSERT_EQ(records.at(n).size(), 1u);
        EXPECT_EQ(records.at(n)[0]["verify"], true);
    }
    EXPECT_EQ(records.at(1)[0]["ok"], true);
    EXPECT_TRUE(FlashHoldsTheImage(1));
    const Json& failed = records.at(2)[0];
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["category"], ResultCommand);
    EXPECT_EQ(failed["code"], CommandCode::kVerify);
    EXPECT_EQ(failed["message"], "COMMAND : Verify error at 0x00801170");
}

// The log keeps whole records only: a software name that is not UTF-8 is logged (its bad bytes
// replaced), a write cut short by a file-size limit is taken back, a torn last line left by an
// earlier program is cut off at the next start, and a FIFO is refused before any phone.
TEST_F(StationE2e, TheLogHoldsWholeRecordsOnly) {
    const fs::path log = dir_.path() / "station.jsonl";
    const std::string latin1 = "logiciel_\xe9.cla";
    test::WriteFile(dir_.path() / latin1, software_);
    StartPhone(1);
    EXPECT_EQ(Station({"--ports", "1"}, latin1)->Wait(), 0);
    const std::string first = test::ReadFile(log);
    auto records = Log();
    ASSERT_EQ(records.at(1).size(), 1u);
    EXPECT_EQ(records.at(1)[0]["software"], "logiciel_\xef\xbf\xbd.cla");  // U+FFFD
    EXPECT_TRUE(FlashHoldsTheImage(1));

    // Room for 40 more bytes: the record is cut short, the station stops, the log is as it was.
    // (The limit holds for the image's private copy and the database too: the log is made
    // larger than the image and the database's files.)
    std::string filled;
    while (filled.size() <= software_.size() + (1 << 20)) filled += first;
    test::WriteFile(log, filled);
    StartPhone(1);
    auto limited = Station({"--ports", "1"}, "soft.cla",
                           {"/usr/bin/prlimit", "--fsize=" + std::to_string(filled.size() + 40)});
    EXPECT_NE(limited->Rest().find("only part of the record could be written"), std::string::npos);
    EXPECT_EQ(limited->Wait(), 74);
    EXPECT_EQ(test::ReadFile(log), filled);

    test::WriteFile(log, first + "{\"start\":\"2026-");
    StartPhone(1);
    auto repaired = Station({"--ports", "1"});
    EXPECT_TRUE(WaitFor(*repaired,
                        "the log station.jsonl ended in a torn line: its 15 bytes "
                        "were cut off, every whole record is kept"));
    EXPECT_EQ(repaired->Wait(), 0);
    records = Log();
    ASSERT_EQ(records.at(1).size(), 2u);
    EXPECT_EQ(test::ReadFile(log).rfind(first, 0), 0u);

    const fs::path fifo = dir_.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    auto refused = Station({"--ports", "1", "--log", "fifo"});
    EXPECT_EQ(refused->Rest(),
              "vbcflash-station: cannot open the log fifo: not a regular file (a FIFO, a device "
              "or a socket): the log must be a file on a disk\n");
    EXPECT_EQ(refused->Wait(), 74);
}

// Standard output whose reader died (a tee ended by the same Ctrl-C) costs no phone its stopped
// record; standard input closed does not hand the workers the wrong software.
TEST_F(StationE2e, ClosedStandardStreamsCostNoRecord) {
    // Large enough that no paced phone ends before the stop.
    test::WriteFile(dir_.path() / "big.cla", std::string(1 << 20, '\x5a'));
    for (int n = 1; n <= 3; ++n) StartPhone(n, {"--pace"});
    auto station = Station({"--ports", "1-3"}, "big.cla");
    // (Not a line more once the third port writes: the next comes only when a phone ends.)
    std::set<std::string> writing;
    for (auto line = station->Line(); line; line = station->Line()) {
        const auto at = line->find(" writing");
        if (at != std::string::npos) writing.insert(line->substr(0, at).substr(25, 5));
        if (writing.size() == 3) break;
    }
    ASSERT_EQ(writing.size(), 3u);
    station->CloseOutput();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait(), 130);
    auto records = Log();
    ASSERT_EQ(records.size(), 3u);
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(records.at(n).at(0)["category"], ResultStopped) << n;

    fs::remove(dir_.path() / "station.jsonl");
    StartPhone(1);
    EXPECT_EQ(
        Station({"--ports", "1"}, "soft.cla", {"/bin/sh", "-c", "exec <&- \"$@\"", "sh"})->Wait(),
        0);
    records = Log();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records.at(1).size(), 1u);
    EXPECT_EQ(records.at(1)[0]["ok"], true);
    EXPECT_TRUE(FlashHoldsTheImage(1));
}

}  // namespace
}  // namespace vbc

#endif
