// UTF-8 inside the program, UTF-16 at every call into Windows.
#pragma once

#include <string>
#include <string_view>

namespace vbc::platform::win32 {

// Malformed UTF-8 becomes U+FFFD rather than being dropped or cut short.
std::wstring Utf16(std::string_view utf8);
// An unpaired surrogate becomes U+FFFD.
std::string Utf8(std::wstring_view utf16);

}  // namespace vbc::platform::win32
