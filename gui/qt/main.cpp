// vbcflash: the desktop program. It starts as the program always does, on Qt's widgets, in the
// working directory that holds flash.txt and the bootstrap files; a software file given as its
// argument (what the desktop entry passes for a file opened with it) is loaded at once. Without
// a display it ends at once with status 255 and one line on standard error.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/version.h"

#include "gui/qt/qtfrontend.h"
#include "platform/serial.h"
#include "toolkit/toolkit.h"
#include "ui/mfl50dev.h"

namespace {

constexpr const char* kHelp =
    R"(Usage: vbcflash [--help] [--version] [FILE.cla]

Writes software into the flash memory of VBC4410 phones over a serial port, on a window.
Start it in the directory that holds flash.txt and the bootstrap files (mfl104_4.spm for
product type 1, mfl104_5.spm for product type 2); config.txt is saved and restored there.
Load the software file (*.cla), choose the port and the product type, and press Start.

Options:
  FILE.cla   A software file, loaded at start as Load file loads it
  --help     Print this help and exit
  --version  Print the version and exit

Without a display (DISPLAY or WAYLAND_DISPLAY) it says so on standard error and exits with
status 255. vbcflash-cli runs the same job from the command line.
)";

}  // namespace

int main(int argc, char** argv) {
    // Answered before any display is needed, so that they work anywhere.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("vbcflash %s\n", vbc::kVersion);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    const std::unique_ptr<QApplication> app = vbc::platform::OpenApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vbcflash"));
    // Qt has taken its own options (-style...) out of argv by now.
    const vbc::ProgramArguments args = vbc::ParseProgramArguments(argc, argv);
    if (!args.error.empty()) {
        std::fprintf(stderr, "vbcflash: %s\nRun with --help for more information.\n",
                     args.error.c_str());
        return 64;
    }

    int code = 0;
    {
        vbc::platform::FrontEndToolkit toolkit;
        vbc::platform::SetToolkit(&toolkit);
        code = vbc::_main(argc, argv, args.softwareFile.c_str());
        // A job ends by releasing the port; a service panel's switch on leaves it open.
        vbc::platform::CloseAllPorts();
        vbc::platform::SetToolkit(nullptr);
    }
    return code;
}
