// A readable record of the line: every byte each way, grouped by frame, with what it means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vbc::sim {

enum class Direction { kFromPc, kToPc };

class Trace {
  public:
    // Writes to out, which stays the caller's (stderr, or an open file).
    explicit Trace(std::FILE* out) : out_(out) {}
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // One frame: its bytes and what they mean.
    void Frame(double ms, Direction dir, const std::uint8_t* bytes, std::size_t count,
               const std::string& meaning);
    // A run of data bytes, 16 a line, with their offset within the transfer.
    void Data(double ms, Direction dir, std::uint32_t offset, const std::uint8_t* bytes,
              std::size_t count, const std::string& what);
    // A remark without bytes (job start and end, faults committed, protocol errors).
    void Note(double ms, const std::string& text);

  private:
    void Emit(const std::string& line, bool flush = true);
    std::FILE* out_;
    std::mutex mu_;
};

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vbc::sim
