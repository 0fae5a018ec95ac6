#include "testing/programstate.h"

#include "core/context.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "ui/mfl52display.h"
#include "ui/mfl53ser.h"

namespace vbc::test {

void ResetProgramState() {
    ResetDownloadContext();
    ForgetMessagePanels();
    ForgetServicePanel();
    ClearLastDisplayedResult();
    _mv_NbCommentLine = 0;
    ForgetCommentLines();
    _vg_FlashDescritpion.count = 0;
    _mv_ResultDownload = {};
    _mv_SoftPourcent = 0;
    _mv_NbSectorsDisplay = 0;
    _mv_VerifyErrorAddress = 0;
    SetStationPorts({});
}

}  // namespace vbc::test
