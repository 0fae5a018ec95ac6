// Saved job settings: config.txt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vbc {

// Writes config.txt in the working directory from the context: 1, or 2 when it cannot be
// written. The previous file is replaced in one step, so a failed save leaves it whole.
std::int32_t _mfl56_1SaveConfig();
// The full path of the config.txt that Save writes and Restore reads (its bare name when the
// working directory cannot be found).
std::string ConfigFilePath();
// Reads config.txt back into the context: 1, 2 when there is none, or the code of the line
// that is missing or wrong (RestoreConfigFromData).
std::int32_t _mfl56_0RestoreConfig();

// The restore of a config.txt image already in memory: stores the values into the context
// line by line, reloads the software file right after the name line, shows the port (COM255
// at most) and the product type in their selectors (adding an entry for a value a selector
// does not list) and undims the download-configuration selector and the Start control once
// the record is read. A name of more than 259 characters is refused with 3 and a number of
// more than 19 characters, or one outside the int32 range, with the value code of its line
// (5, 9, 11 or 13), leaving that field as it was. A record cut off by the end of the data
// gets the code of its first missing line.
std::int32_t RestoreConfigFromData(const std::uint8_t* data, std::size_t size);

}  // namespace vbc
