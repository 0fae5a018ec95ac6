// Option texts that vbcflash-cli and vbcflash-station read alike.
#pragma once

#include <array>
#include <string>

namespace vbc::cli {

// "W0,W1,W2,W3", each 0 to 4: the wait states of chip selects 0 to 3. States (when given)
// receives them; false for any other text.
bool ParseWaitStates(const std::string& text, std::array<int, 4>* states);

}  // namespace vbc::cli
