#include "platform/digest.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>

namespace vbc::platform {

bool Sha256(const std::vector<std::uint8_t>& bytes, Sha256Digest* digest) {
    unsigned int length = 0;
    return EVP_Digest(bytes.data(), bytes.size(), digest->data(), &length, EVP_sha256(), nullptr) ==
               1 &&
           length == digest->size();
}

bool RandomBytes(void* buffer, std::size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::getrandom(p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace vbc::platform
