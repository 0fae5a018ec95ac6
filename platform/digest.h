// The system's cryptography, for what the station records: the SHA-256 of the image every
// worker writes, and random bytes for the records' identities. POSIX: OpenSSL's libcrypto and
// getrandom; Windows: the system's CNG (bcrypt.dll).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vbc::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// False when the system cannot compute it.
bool Sha256(const std::vector<std::uint8_t>& bytes, Sha256Digest* digest);

// Fills buffer from the system's random source. False when it cannot.
bool RandomBytes(void* buffer, std::size_t size);

}  // namespace vbc::platform
