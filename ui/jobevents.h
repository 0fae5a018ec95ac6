// What a running job tells a front end that reports it in a form of its own (vbcflash-cli
// --json): the flash it found, the progress of each pass over the flash, the sectors it sent
// again. The windows show the same through their controls; with no observer set, nothing is
// told.
#pragma once

#include <cstdint>
#include <string>

namespace vbc {

class JobObserver {
  public:
    virtual ~JobObserver() = default;
    // The phone's boot loader answered the boot: a phone is on the line.
    virtual void BootLoaderAnswered() {}
    // name: "ST M36DR864CB", or "" for a flash flash.txt does not list.
    virtual void FlashIdentified(std::uint8_t /*manufacturer*/, std::uint8_t /*device*/,
                                 const std::string& /*name*/) {}
    // pass: "write" (the software), "verify" or "read" (the flash read back).
    virtual void Progress(const char* /*pass*/, std::uint32_t /*bytes*/, std::uint32_t /*total*/) {}
    virtual void SectorResent() {}
    // The identity range of the flash (SetIdentityRange), read before the software is written.
    virtual void IdentityRead(const std::uint8_t* /*bytes*/, std::uint32_t /*length*/) {}
};

// The caller keeps ownership; nullptr sets one that does nothing.
void SetJobObserver(JobObserver* observer);
JobObserver& CurrentJobObserver();

}  // namespace vbc
