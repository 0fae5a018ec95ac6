// A bare PC side of the line, for the simulator's own end-to-end tests and benchmarks: it
// speaks the protocol from the PC's end over the pseudo-terminal's slave, with none of the
// tool's modules.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/uniquefd.h"

namespace vbc::sim {

class MiniPc {
  public:
    MiniPc() = default;
    ~MiniPc();
    MiniPc(const MiniPc&) = delete;
    MiniPc& operator=(const MiniPc&) = delete;

    // Opens the device raw at 38400 bit/s with even parity, and flushes both ways.
    bool Open(const std::string& path, std::string* error);
    void Close();
    // Standard rates only (9600 to 230400).
    bool SetLine(long rate, bool evenParity);

    bool Send(const std::vector<std::uint8_t>& bytes);
    bool Send(std::initializer_list<std::uint8_t> bytes);
    bool Send(const std::uint8_t* data, std::size_t count);
    // A byte, or kTimeout, or kGone when the line has gone (the phone dropped it).
    static constexpr int kTimeout = -1;
    static constexpr int kGone = -2;
    int ReadByte(int timeoutMs);

    int timeoutMs = 10000;  // for every answer the steps below wait for

    struct BootInfo {
        std::uint8_t major = 0, minor = 0, manufacturer = 0, device = 0;
        int extension = -1;  // -1 when the device has none
    };
    // Every byte the PC sends after its 0x44: configuration, bootstrap, jump.
    static std::vector<std::uint8_t> BootFrames(int productType,
                                                const std::vector<std::uint8_t>& spm,
                                                const std::uint8_t waitStates[4]);
    // Waits for the announcement, answers it, loads the bootstrap and reads what it reports.
    bool Boot(int productType, const std::vector<std::uint8_t>& spm,
              const std::uint8_t waitStates[4], BootInfo* info, std::string* error);
    // 0xE0 with the row's parameters, then reopens at pcRate without parity and waits for 0xCA.
    bool ChangeSpeed(const std::uint8_t params[3], long pcRate, std::string* error);
    // One attempt at one sector; answer is 0xCC (phoneSum set), 0xCD (detail set) or another byte.
    bool DownloadSector(std::uint32_t address, std::uint32_t size, const std::uint8_t* data,
                        std::uint32_t length, std::uint8_t* answer, std::uint32_t* phoneSum,
                        std::string* error);
    bool SwitchOff(std::string* error);

  private:
    bool Expect(std::uint8_t byte, const char* what, std::string* error);
    platform::UniqueFd fd_;
};

}  // namespace vbc::sim
