#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>

#include "platform/digest.h"

namespace vbc::platform {

bool Sha256(const std::vector<std::uint8_t>& bytes, Sha256Digest* digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes at most 4 GiB a call.
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ULONG n = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        ok = BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + done), n, 0));
        done += n;
    }
    ok = ok && BCRYPT_SUCCESS(
                   ::BCryptFinishHash(hash, digest->data(), static_cast<ULONG>(digest->size()), 0));
    if (hash) ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

bool RandomBytes(void* buffer, std::size_t size) {
    return size <= 0xFFFFFFFFu && BCRYPT_SUCCESS(::BCryptGenRandom(
                                      nullptr, static_cast<PUCHAR>(buffer),
                                      static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace vbc::platform
