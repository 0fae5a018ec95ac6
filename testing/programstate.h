// One reset of every module's state, for tests and other harnesses that run many jobs in one
// process with toolkits that come and go.
#pragma once

namespace vbc::test {

// Returns the download context, the comment list, the flash descriptions, the result display
// and the service panel to their state at program load, without touching any toolkit.
void ResetProgramState();

}  // namespace vbc::test
