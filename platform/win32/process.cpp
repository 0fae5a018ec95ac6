// Worker processes on Windows. Each worker's standard output and error go into one overlapped
// named pipe whose read event the station waits on; every worker is in one job object that
// kills them all when the station's handle to it closes (its end, however it comes); a stop is
// an event the worker inherits and watches (platform/win32/console.cpp), so it reaches a worker
// started by a windowed program, which has no console to send a control event through.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <thread>

#include "platform/jobstop.h"
#include "platform/process.h"
#include "platform/serialsystem.h"
#include "platform/win32/wide.h"

namespace vbc::platform {
namespace {

// The name of the inherited stop event's handle value in a worker's environment.
constexpr wchar_t kStopEventVariable[] = L"VBCFLASH_STOP_EVENT";
constexpr DWORD kReadChunk = 4096;

HANDLE WorkerJob() {
    static const HANDLE job = [] {
        HANDLE j = ::CreateJobObjectW(nullptr, nullptr);
        if (j) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            ::SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        return j;
    }();
    return job;
}

// One argument as the C run-time's parser takes it back: quoted when it must be, with the
// backslashes before a quote doubled.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
    if (!line->empty()) *line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += arg;
        return;
    }
    *line += L'"';
    for (auto it = arg.begin();; ++it) {
        std::size_t slashes = 0;
        while (it != arg.end() && *it == L'\\') {
            ++it;
            ++slashes;
        }
        if (it == arg.end()) {
            line->append(slashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            line->append(slashes * 2 + 1, L'\\');
        } else {
            line->append(slashes, L'\\');
        }
        *line += *it;
    }
    *line += L'"';
}

// This process's environment with the worker's stop event added (replacing any inherited one).
std::wstring WorkerEnvironment(HANDLE stopEvent) {
    std::wstring block;
    if (wchar_t* env = ::GetEnvironmentStringsW()) {
        const std::wstring prefix = std::wstring(kStopEventVariable) + L"=";
        for (const wchar_t* p = env; *p; p += std::wcslen(p) + 1) {
            if (_wcsnicmp(p, prefix.c_str(), prefix.size()) == 0) continue;
            block += p;
            block += L'\0';
        }
        ::FreeEnvironmentStringsW(env);
    }
    block += std::wstring(kStopEventVariable) + L"=" +
             std::to_wstring(reinterpret_cast<std::uintptr_t>(stopEvent));
    block += L'\0';
    block += L'\0';
    return block;
}

std::string LastErrorText(const char* what) {
    return std::string(what) + ": " + SystemErrorText(static_cast<int>(::GetLastError()));
}

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE value) : h(value == INVALID_HANDLE_VALUE ? nullptr : value) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void Reset(HANDLE value = nullptr) {
        if (h) ::CloseHandle(h);
        h = value;
    }
};

}  // namespace

struct Process::State {
    Handle process;
    DWORD id = 0;
    Handle pipe;       // the reading end, overlapped
    Handle readEvent;  // set when the pending read completed
    Handle stopEvent;  // the worker's, inherited
    OVERLAPPED overlapped{};
    bool reading = false;
    char buffer[kReadChunk];

    // Waits for a pending read to be cancelled before the buffer goes.
    void ClosePipe() {
        if (pipe.h && reading) {
            ::CancelIoEx(pipe.h, &overlapped);
            DWORD n = 0;
            ::GetOverlappedResult(pipe.h, &overlapped, &n, TRUE);
        }
        reading = false;
        pipe.Reset();
    }
    // Starts the next read; false at the pipe's end.
    bool IssueRead() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = readEvent.h;
        DWORD n = 0;
        // Done at once or pending, the result comes through GetOverlappedResult.
        if (::ReadFile(pipe.h, buffer, kReadChunk, &n, &overlapped) ||
            ::GetLastError() == ERROR_IO_PENDING) {
            reading = true;
            return true;
        }
        reading = false;
        return false;
    }
};

Process::Process() : state_(std::make_unique<State>()) {}

Process::~Process() {
    if (state_->process.h) {
        Kill();
        ::WaitForSingleObject(state_->process.h, 5000);
    }
    state_->ClosePipe();
}

bool Process::Running() const {
    return state_->process.h != nullptr;
}

int Process::Id() const {
    return static_cast<int>(state_->id);
}

WaitObject Process::OutputWait() const {
    return state_->pipe.h ? reinterpret_cast<WaitObject>(state_->readEvent.h) : kNoWaitObject;
}

bool Process::Start(const std::vector<std::string>& argv, std::string* error, int /*keepFd*/) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (Running() || argv.empty()) return fail("no program to start");
    State& s = *state_;
    static std::atomic<unsigned> serial{0};
    const std::wstring pipeName = L"\\\\.\\pipe\\vbcflash-worker-" +
                                  std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(serial++);
    Handle pipe(::CreateNamedPipeW(
        pipeName.c_str(),
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kReadChunk,
        64 * 1024, 0, nullptr));
    if (!pipe.h) return fail(LastErrorText("cannot make the worker's pipe"));
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle writeEnd(::CreateFileW(pipeName.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    Handle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr));
    Handle stop(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    Handle readEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!writeEnd.h || !input.h || !stop.h || !readEvent.h)
        return fail(LastErrorText("cannot make the worker's handles"));

    // Only these handles reach the worker, whatever else this process holds inheritable.
    HANDLE inherited[] = {writeEnd.h, input.h, stop.h};
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> listBuffer(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &listSize) ||
        !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                     sizeof inherited, nullptr, nullptr))
        return fail(LastErrorText("cannot limit the worker's handles"));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.h;
    startup.StartupInfo.hStdOutput = writeEnd.h;
    startup.StartupInfo.hStdError = writeEnd.h;
    startup.lpAttributeList = list;

    std::wstring commandLine;
    for (const std::string& a : argv) AppendQuoted(Widen(a), &commandLine);
    std::wstring environment = WorkerEnvironment(stop.h);
    const std::wstring program = Widen(argv[0]);
    PROCESS_INFORMATION info{};
    // No console of its own on the screen, and none shared with the station: the console's
    // Ctrl-C reaches the station, which stops each worker itself (as a process group does on
    // POSIX). Suspended until it is in the job, so not one instruction runs outside it.
    const BOOL created =
        ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                         CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                             EXTENDED_STARTUPINFO_PRESENT,
                         environment.data(), nullptr, &startup.StartupInfo, &info);
    const DWORD createError = ::GetLastError();
    ::DeleteProcThreadAttributeList(list);
    if (!created) {
        ::SetLastError(createError);
        return fail(LastErrorText("cannot run the worker program"));
    }
    Handle thread(info.hThread);
    Handle process(info.hProcess);
    const HANDLE job = WorkerJob();
    if (!job || !::AssignProcessToJobObject(job, process.h)) {
        const std::string why = LastErrorText("cannot put the worker into the station's job");
        ::TerminateProcess(process.h, 1);
        return fail(why);
    }
    ::ResumeThread(thread.h);

    s.process.Reset(process.h);
    process.h = nullptr;
    s.id = info.dwProcessId;
    s.pipe.Reset(pipe.h);
    pipe.h = nullptr;
    s.readEvent.Reset(readEvent.h);
    readEvent.h = nullptr;
    s.stopEvent.Reset(stop.h);
    stop.h = nullptr;
    // The worker holds the only writing end now: its end is the pipe's.
    if (!s.IssueRead()) s.pipe.Reset();
    return true;
}

bool Process::ReadAvailable(std::string* into) {
    State& s = *state_;
    while (s.pipe.h && s.reading) {
        DWORD n = 0;
        if (!::GetOverlappedResult(s.pipe.h, &s.overlapped, &n, FALSE)) {
            if (::GetLastError() == ERROR_IO_INCOMPLETE) return true;
            s.reading = false;  // its end (ERROR_BROKEN_PIPE), or a read fault: nothing more
            break;
        }
        into->append(s.buffer, n);
        if (!s.IssueRead()) break;
    }
    s.ClosePipe();
    return false;
}

void Process::RequestStop() {
    if (state_->stopEvent.h) ::SetEvent(state_->stopEvent.h);
}

void Process::Kill() {
    if (state_->process.h) ::TerminateProcess(state_->process.h, ERROR_PROCESS_ABORTED);
}

std::optional<ProcessEnd> Process::TryReap() {
    State& s = *state_;
    if (!s.process.h || ::WaitForSingleObject(s.process.h, 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(s.process.h, &code);
    ProcessEnd end;
    // An exception that nothing handled ends a program with its code (0xC0000005, ...).
    if (code >= 0xC0000000u) {
        end.signal = static_cast<int>(code);
    } else {
        end.exited = true;
        end.code = static_cast<int>(code);
    }
    s.process.Reset();
    s.stopEvent.Reset();
    s.ClosePipe();
    return end;
}

std::string DescribeAbnormalEnd(int signal) {
    char text[40];
    std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(signal));
    return text;
}

void WaitReady(const std::vector<WaitObject>& objects, int timeoutMs, std::vector<bool>* ready) {
    ready->assign(objects.size(), false);
    std::vector<HANDLE> handles;
    for (WaitObject o : objects)
        if (o != kNoWaitObject && o != 0) handles.push_back(reinterpret_cast<HANDLE>(o));
    if (handles.empty()) {
        ::Sleep(static_cast<DWORD>(std::max(timeoutMs, 0)));
        return;
    }
    auto any = [&](DWORD wait) {
        // The system waits on at most 64 objects at once: more are looked at in turns.
        for (std::size_t i = 0; i < handles.size(); i += MAXIMUM_WAIT_OBJECTS) {
            const DWORD n =
                static_cast<DWORD>(std::min<std::size_t>(handles.size() - i, MAXIMUM_WAIT_OBJECTS));
            const DWORD r = ::WaitForMultipleObjects(
                n, handles.data() + i, FALSE, handles.size() <= MAXIMUM_WAIT_OBJECTS ? wait : 0);
            if (r < WAIT_OBJECT_0 + n) return true;
        }
        return false;
    };
    if (handles.size() <= MAXIMUM_WAIT_OBJECTS) {
        any(static_cast<DWORD>(std::max(timeoutMs, 0)));
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        while (!any(0) && std::chrono::steady_clock::now() < deadline) ::Sleep(5);
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const WaitObject o = objects[i];
        (*ready)[i] = o != kNoWaitObject && o != 0 &&
                      ::WaitForSingleObject(reinterpret_cast<HANDLE>(o), 0) == WAIT_OBJECT_0;
    }
}

// A console or a pipe cannot be waited on for input: a thread reads it and sets an event.
struct StandardInput::State {
    std::mutex mutex;
    std::string received;
    bool ended = false;
    Handle ready{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

StandardInput::StandardInput() : state_(std::make_unique<State>()) {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (!input || input == INVALID_HANDLE_VALUE || !state_->ready.h) {
        state_->ended = true;
        if (state_->ready.h) ::SetEvent(state_->ready.h);
        return;
    }
    // Detached: a read that never returns must not hold the program's end. The state is left to
    // the program's end with it (the destructor gives it up).
    State* state = state_.get();
    std::thread([state, input] {
        char chunk[512];
        for (;;) {
            DWORD n = 0;
            const BOOL ok = ::ReadFile(input, chunk, sizeof chunk, &n, nullptr);
            // A console's Ctrl-C cuts a read short with nothing read: not the input's end.
            if (ok && n == 0 && ::GetLastError() == ERROR_OPERATION_ABORTED) continue;
            std::lock_guard lock(state->mutex);
            if (!ok || n == 0) {
                state->ended = true;
                ::SetEvent(state->ready.h);
                return;
            }
            state->received.append(chunk, n);
            ::SetEvent(state->ready.h);
        }
    }).detach();
}

StandardInput::~StandardInput() {
    // The reading thread may still use it: it is left to the program's end.
    (void)state_.release();
}

WaitObject StandardInput::Wait() const {
    std::lock_guard lock(state_->mutex);
    if (state_->ended && state_->received.empty()) return kNoWaitObject;
    return reinterpret_cast<WaitObject>(state_->ready.h);
}

bool StandardInput::ReadAvailable(std::string* into) {
    std::lock_guard lock(state_->mutex);
    into->append(state_->received);
    state_->received.clear();
    if (!state_->ended) ::ResetEvent(state_->ready.h);
    return !state_->ended;
}

void KeepStandardDescriptors() {}

void IgnoreWriteSignals() {}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) return "";
    return Narrow(std::wstring(name, size));
}

std::string OwnProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return "";
        if (n < path.size()) return Narrow(path.substr(0, n));
        path.resize(path.size() * 2);
    }
}

std::string ProgramFileName(const std::string& stem) {
    return stem + ".exe";
}

bool CanRun(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ChangeDirectory(const std::string& path, std::string* error) {
    if (::SetCurrentDirectoryW(Widen(path).c_str())) return true;
    if (error) *error = SystemErrorText(static_cast<int>(::GetLastError()));
    return false;
}

WaitObject JobStopWaitObject() {
    void* event = JobStopWakeEvent();
    return event ? reinterpret_cast<WaitObject>(event) : kNoWaitObject;
}

}  // namespace vbc::platform
