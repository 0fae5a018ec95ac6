// What the station asks of the platform, on both systems (this file runs under Wine too): worker
// processes that get their arguments as given, hand their output through a wait, stop when asked
// and end when killed; the image copy they read, which nobody can change; the log's whole lines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <shellapi.h>
#else
#include <sys/stat.h>
#endif

#include "platform/console.h"
#include "platform/files.h"
#include "platform/jobstop.h"
#include "platform/process.h"
#include "tests/testutil.h"

namespace vbc::platform {
namespace {

constexpr const char* kChildVariable = "VBC_PROCESS_TEST_CHILD";

std::vector<std::string> OwnArguments() {
    std::vector<std::string> args;
#ifdef _WIN32
    int n = 0;
    wchar_t** w = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    for (int i = 0; i < n; ++i) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, w[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(static_cast<std::size_t>(size), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, w[i], -1, s.data(), size, nullptr, nullptr);
        s.pop_back();
        args.push_back(s);
    }
    ::LocalFree(w);
#else
    std::ifstream f("/proc/self/cmdline", std::ios::binary);
    for (std::string a; std::getline(f, a, '\0');) args.push_back(a);
#endif
    return args;
}

std::atomic<int> gChildSignal{0};
extern "C" void OnChildStop(int signal) {
    gChildSignal = signal;
    RequestJobStop();
}

// Started by these tests with kChildVariable set, this program plays the worker instead of
// running its tests: "echo" prints its arguments, "stop" waits for its stop, "hang" for nothing.
const bool kRanAsChild = [] {
    const char* mode = std::getenv(kChildVariable);
    if (!mode) return false;
    const std::string m = mode;
    if (m == "echo") {
        const auto args = OwnArguments();
        for (std::size_t i = 1; i < args.size(); ++i) std::printf("[%s]\n", args[i].c_str());
        std::fflush(stdout);
        std::exit(7);
    }
    if (m == "stop") {
        CatchStopSignals(OnChildStop);
        std::printf("waiting\n");
        std::fflush(stdout);
        while (!JobStopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::printf("stopped by %d\n", gChildSignal.load());
        std::exit(3);
    }
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}();

void SetChildMode(const char* mode) {
#ifdef _WIN32
    ::_putenv_s(kChildVariable, mode);
#else
    ::setenv(kChildVariable, mode, 1);
#endif
}

// Runs a child of this program in mode; output collected until its pipe ends (or limitMs).
struct Child {
    Process process;
    std::string output;
    explicit Child(const char* mode, const std::vector<std::string>& args = {}) {
        SetChildMode(mode);
        std::vector<std::string> argv = {OwnProgramPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string error;
        EXPECT_TRUE(process.Start(argv, &error)) << error;
        SetChildMode("");
    }
    // Until output holds text (or the pipe ended); false after limitMs.
    bool ReadUntil(const std::string& text, int limitMs = 20'000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (output.find(text) == std::string::npos) {
            if (process.OutputWait() == kNoWaitObject) return false;
            if (std::chrono::steady_clock::now() > end) return false;
            std::vector<bool> ready;
            WaitReady({process.OutputWait()}, 1000, &ready);
            if (ready[0]) process.ReadAvailable(&output);
        }
        return true;
    }
    ProcessEnd Reap() {
        for (int i = 0; i < 2000; ++i) {
            if (auto end = process.TryReap()) return *end;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the child did not end";
        return {};
    }
};

TEST(StationPlatform, ArgumentsReachTheWorkerAsGiven) {
    const std::vector<std::string> args = {"plain", "two words",    "quote\"inside", "trailing\\",
                                           "",      "a\\\\\"b c\\", "tab\there",     "ü-utf8"};
    Child child("echo", args);
    child.ReadUntil("\x01");  // to the pipe's end
    std::string expected;
    for (const auto& a : args) expected += "[" + a + "]\n";
#ifdef _WIN32
    // The C run-time's text mode ends lines with CR LF.
    std::string crlf;
    for (char c : expected) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    expected = crlf;
#endif
    EXPECT_EQ(child.output, expected);
    const ProcessEnd end = child.Reap();
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.code, 7);
    EXPECT_FALSE(child.process.Running());
    EXPECT_EQ(child.process.OutputWait(), kNoWaitObject);
}

TEST(StationPlatform, AStopReachesTheWorkerAndAKillEndsOne) {
    Child stopped("stop");
    Child hung("hang");
    ASSERT_TRUE(stopped.ReadUntil("waiting"));
    stopped.process.RequestStop();
    ASSERT_TRUE(stopped.ReadUntil("stopped by " + std::to_string(SIGTERM)));
    const ProcessEnd end = stopped.Reap();
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.code, 3);

    // A hung worker ignores nothing it is not asked; the kill ends it all the same.
    hung.process.Kill();
    const ProcessEnd killed = hung.Reap();
    EXPECT_FALSE(killed.exited && killed.code == 0);
    EXPECT_FALSE(hung.process.Running());
}

TEST(StationPlatform, TheImageCopyHoldsTheBytesAndNobodyChangesIt) {
    test::ScratchDir dir;
    const std::vector<std::uint8_t> bytes = {0x00, 0xFF, 0x0A, 0x0D, 0x1A, 0x42};
    std::string path;
    {
        SealedImage image;
        std::string error;
        ASSERT_TRUE(image.Make(bytes, &error)) << error;
        path = image.Path();
        std::vector<std::uint8_t> read;
        ASSERT_TRUE(ReadWholeFile(path.c_str(), read));
        EXPECT_EQ(read, bytes);
        // Opened for writing through its path, it takes no byte.
        if (std::FILE* f = std::fopen(path.c_str(), "r+b")) {
            const bool wrote = std::fwrite("xx", 1, 2, f) == 2 && std::fflush(f) == 0;
            std::fclose(f);
            EXPECT_FALSE(wrote);
        }
        EXPECT_NE(std::remove(path.c_str()), 0);
        read.clear();
        ASSERT_TRUE(ReadWholeFile(path.c_str(), read));
        EXPECT_EQ(read, bytes);
    }
#ifdef _WIN32
    // Its file goes with it.
    EXPECT_FALSE(FileCanOpen(path.c_str()));
#endif
}

TEST(StationPlatform, TheLogKeepsWholeLinesOnly) {
    struct Case {
        std::string before;
        std::size_t torn;
        std::string after;  // once "r" is appended
    };
    const Case cases[] = {
        {"", 0, "r\n"},           {"a\n", 0, "a\nr\n"},
        {"a\nb", 1, "a\nr\n"},    {"half a line", 11, "r\n"},
        {"a\n\n", 0, "a\n\nr\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        test::ScratchDir dir;
        test::WriteFile("log.jsonl", c.before);
        std::size_t torn = 99;
        std::string error;
        {
            AppendFile log;
            ASSERT_TRUE(log.Open("log.jsonl", &error, &torn)) << error;
            EXPECT_EQ(torn, c.torn);
            ASSERT_TRUE(log.Append("r", &error)) << error;
        }
        EXPECT_EQ(test::ReadFile("log.jsonl"), c.after);
    }
    // Two writers of one log: each line whole, none lost.
    test::ScratchDir dir;
    AppendFile a, b;
    std::string error;
    ASSERT_TRUE(a.Open("shared.jsonl", &error)) << error;
    ASSERT_TRUE(b.Open("shared.jsonl", &error)) << error;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(a.Append("a" + std::to_string(i), &error));
        ASSERT_TRUE(b.Append("b" + std::to_string(i), &error));
    }
    std::string expected;
    for (int i = 0; i < 50; ++i)
        expected += "a" + std::to_string(i) + "\nb" + std::to_string(i) + "\n";
    EXPECT_EQ(test::ReadFile("shared.jsonl"), expected);
}

}  // namespace
}  // namespace vbc::platform
