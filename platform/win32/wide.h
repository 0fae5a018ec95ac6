// UTF-8 (the program's strings) to and from UTF-16 (the system's).
#pragma once

#include <windows.h>

#include <string>

namespace vbc::platform {

inline std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline std::string Narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int size = static_cast<int>(w.size());
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), size, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), size, s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace vbc::platform
