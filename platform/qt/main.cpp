// vbcflash: the desktop program. No options; it starts as the program always does, on Qt's
// widgets, in the working directory that holds flash.txt and the bootstrap files.
#include <QApplication>

#include "platform/qt/qtfrontend.h"
#include "platform/serial.h"
#include "platform/toolkit.h"
#include "ui/mfl50dev.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vbcflash"));

    int code = 0;
    {
        vbc::platform::FrontEndToolkit toolkit;
        vbc::platform::SetToolkit(&toolkit);
        code = vbc::_main(argc, argv);
        // A job ends by releasing the port; a service panel's switch on leaves it open.
        vbc::platform::CloseAllPorts();
        vbc::platform::SetToolkit(nullptr);
    }
    return code;
}
