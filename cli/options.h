// Option texts that vbcflash-cli and vbcflash-station read alike: the same number is the same
// value in both, and the same mistake gets the same words.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vbc::cli {

// A whole number from min to max written in decimal digits only. A leading zero is just a
// zero ("010" is 10, as COM10 and row 10 are named everywhere else, never octal 8); a sign, a
// blank, "0x" or any other character is refused, and so is a number beyond the range (however
// long). value (when given) receives it.
bool ParseDecimal(const std::string& text, int min, int max, int* value);

// The checks of the options both programs take, each "" when the text is good (the value, when
// given, receives it) or the error text that follows the option's name.
// --port: a COM number, 1 to 255.
std::string CheckPort(const std::string& text, int* port);
// --product: the product type, 1 or 2.
std::string CheckProduct(const std::string& text, int* product);
// --speed: a row of the speed table with a PC rate, 0 to 8.
std::string CheckSpeedRow(const std::string& text, int* row);
// --wait-states: "W0,W1,W2,W3", each 0 to 4, the wait states of chip selects 0 to 3.
std::string CheckWaitStates(const std::string& text, std::array<int, 4>* states);

// --range, --read-id: "OFFSET:LENGTH", each decimal or 0x hexadecimal, at least one byte within
// 32-bit addresses.
std::string CheckRange(const std::string& text, std::uint32_t* offset, std::uint32_t* length);

// "W0,W1,W2,W3" as CheckWaitStates reads it; false for any text it refuses.
bool ParseWaitStates(const std::string& text, std::array<int, 4>* states);

}  // namespace vbc::cli
