#include "ui/mfl51mmi.h"

#include <iterator>

#include "platform/toolkit.h"
#include "ui/mfl52display.h"

namespace vbc {

// ---- OK buttons of the "mmi.uir" message panels ----

int _mfl51_80MMIDownloadSuccessOk(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::Success, event);
}

int _mfl51_81MMIButtonTimeOut(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::Timeout, event);
}

// ---- Callback table ----

void RegisterMmiCallbacks() {
    static const platform::CallbackEntry kTable[] = {
        {"_mfl51_80MMIDownloadSuccessOk", _mfl51_80MMIDownloadSuccessOk},
        {"_mfl51_81MMIButtonTimeOut", _mfl51_81MMIButtonTimeOut},
    };
    platform::RegisterCallbacks(kTable, std::size(kTable));
}

}  // namespace vbc
