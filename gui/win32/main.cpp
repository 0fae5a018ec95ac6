// vbcflash.exe: the desktop program on Windows' own controls. It starts as the program always
// does, in the working directory that holds flash.txt and the bootstrap files (the program's
// folder when it is started from the Explorer); a software file given as its argument (a .cla
// file opened from the Explorer) is loaded at once.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "core/version.h"
#include "gui/win32/unicode.h"
#include "gui/win32/win32frontend.h"
#include "platform/serial.h"
#include "toolkit/toolkit.h"
#include "ui/mfl50dev.h"

namespace {

constexpr const char* kHelp =
    "Usage: vbcflash [--help] [--version] [FILE.cla]\n"
    "\n"
    "Writes software into the flash memory of VBC4410 phones over a serial port, on a window.\n"
    "Start it in the folder that holds flash.txt and the bootstrap files (mfl104_4.spm for\n"
    "product type 1, mfl104_5.spm for product type 2); config.txt is saved and restored there.\n"
    "Load the software file (*.cla), choose the port and the product type, and press Start.\n"
    "\n"
    "Options:\n"
    "  FILE.cla   A software file, loaded at start as Load file loads it\n"
    "  --help     Print this help and exit\n"
    "  --version  Print the version and exit\n"
    "\n"
    "vbcflash-cli.exe runs the same job from the command line.\n";

// A program of the GUI subsystem has no console of its own: the text goes where standard
// output was redirected, else to the console the program was started from, else into a message
// box.
void Say(const std::string& text) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if ((!out || out == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        out = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    }
    if (out && out != INVALID_HANDLE_VALUE) {
        DWORD mode = 0;
        DWORD written = 0;
        if (::GetConsoleMode(out, &mode)) {
            const std::wstring wide = vbc::platform::win32::Utf16(text);
            if (::WriteConsoleW(out, wide.c_str(), static_cast<DWORD>(wide.size()), &written,
                                nullptr)) {
                return;
            }
        } else if (::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written,
                               nullptr)) {
            return;
        }
    }
    ::MessageBoxW(nullptr, vbc::platform::win32::Utf16(text).c_str(), L"vbcflash",
                  MB_OK | MB_ICONINFORMATION);
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    // Answered before any window is made.
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--version") == 0) {
            Say(std::string("vbcflash ") + vbc::kVersion + "\n");
            return 0;
        }
        if (std::wcscmp(argv[i], L"--help") == 0) {
            Say(kHelp);
            return 0;
        }
    }
    // The modules take the arguments as UTF-8.
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(vbc::platform::win32::Utf8(argv[i]));
    std::vector<char*> argvUtf8;
    for (std::string& a : args) argvUtf8.push_back(a.data());
    argvUtf8.push_back(nullptr);
    const vbc::ProgramArguments parsed = vbc::ParseProgramArguments(argc, argvUtf8.data());
    if (!parsed.error.empty()) {
        Say("vbcflash: " + parsed.error + "\nRun with --help for more information.\n");
        return 64;
    }

    int code = 0;
    {
        vbc::platform::win32::FrontEndToolkit toolkit;
        vbc::platform::SetToolkit(&toolkit);
        code = vbc::_main(argc, argvUtf8.data(), parsed.softwareFile.c_str());
        // A job ends by releasing the port; a service panel's switch on leaves it open.
        vbc::platform::CloseAllPorts();
        vbc::platform::SetToolkit(nullptr);
    }
    return code;
}
