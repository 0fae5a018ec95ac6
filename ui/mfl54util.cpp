#include "ui/mfl54util.h"

#include <iterator>

#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"

namespace vbc {

int _mfl54_0GenericErrWindowsButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::GenericErr, event);
}
int _mfl54_1FlashFileErrButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::FlashFileErr, event);
}
int _mfl54_2ConfFileErrButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::ConfFileErr, event);
}
int _mfl54_3PcLibrairiesErrButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::LibPcErr, event);
}
int _mfl54_4BootErrorWindowsButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::BootErr, event);
}
int _mfl54_5CompatibErrWindowButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::CompatibilityErr, event);
}
int _mfl54_6CommandErrWindowButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::CommandErr, event);
}
int _mfl54_7Spm08ErrorWindowsButton(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::Err4408, event);
}
int _mfl54_8ClearBlocksNotOk(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::BlocksNotCleared, event);
}

void RegisterUtilCallbacks() {
    static const platform::CallbackEntry kTable[] = {
        {"_mfl54_0GenericErrWindowsButton", _mfl54_0GenericErrWindowsButton},
        {"_mfl54_1FlashFileErrButton", _mfl54_1FlashFileErrButton},
        {"_mfl54_2ConfFileErrButton", _mfl54_2ConfFileErrButton},
        {"_mfl54_3PcLibrairiesErrButton", _mfl54_3PcLibrairiesErrButton},
        {"_mfl54_4BootErrorWindowsButton", _mfl54_4BootErrorWindowsButton},
        {"_mfl54_5CompatibErrWindowButton", _mfl54_5CompatibErrWindowButton},
        {"_mfl54_6CommandErrWindowButton", _mfl54_6CommandErrWindowButton},
        {"_mfl54_7Spm08ErrorWindowsButton", _mfl54_7Spm08ErrorWindowsButton},
        {"_mfl54_8ClearBlocksNotOk", _mfl54_8ClearBlocksNotOk},
    };
    platform::RegisterCallbacks(kTable, std::size(kTable));
}

}  // namespace vbc
