#include "ui/jobevents.h"

namespace vbc {
namespace {

JobObserver gSilent;
JobObserver* gObserver = &gSilent;

}  // namespace

void SetJobObserver(JobObserver* observer) {
    gObserver = observer ? observer : &gSilent;
}

JobObserver& CurrentJobObserver() {
    return *gObserver;
}

}  // namespace vbc
