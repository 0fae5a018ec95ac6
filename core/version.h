// The tool's version. It is set in one place, project(VERSION) in CMakeLists.txt, which hands
// it to the build as VBC_VERSION; every program prints it with --version.
#pragma once

namespace vbc {

inline constexpr const char* kVersion = VBC_VERSION;

}  // namespace vbc
