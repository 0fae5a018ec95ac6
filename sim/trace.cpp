#include "sim/trace.h"

#include <cstdarg>
#include <vector>

namespace vbc::sim {
namespace {

// "PC > " what the PC sent, "PC < " what the phone sent it.
const char* Arrow(Direction dir) {
    return dir == Direction::kFromPc ? "PC > " : "PC < ";
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    std::string s;
    s.reserve(count * 3);
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

}  // namespace

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string s;
    if (n > 0) {
        std::vector<char> buf(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        s.assign(buf.data(), static_cast<std::size_t>(n));
    }
    va_end(args);
    return s;
}

void Trace::Frame(double ms, Direction dir, const std::uint8_t* bytes, std::size_t count,
                  const std::string& meaning) {
    // Long frames keep every byte: they wrap at 16 a line, the meaning goes on the first.
    for (std::size_t i = 0; i < count || i == 0; i += 16) {
        const std::size_t n = count - i < 16 ? count - i : 16;
        std::string line = Format("%10.3f %s%-47s", ms, Arrow(dir), Hex(bytes + i, n).c_str());
        if (i == 0) line += " | " + meaning;
        Emit(line);
        if (count == 0) break;
    }
}

void Trace::Data(double ms, Direction dir, std::uint32_t offset, const std::uint8_t* bytes,
                 std::size_t count, const std::string& what) {
    for (std::size_t i = 0; i < count; i += 16) {
        const std::size_t n = count - i < 16 ? count - i : 16;
        Emit(Format("%10.3f %s%-47s | %s +0x%X", ms, Arrow(dir), Hex(bytes + i, n).c_str(),
                    what.c_str(), static_cast<unsigned>(offset + i)),
             i + 16 >= count);
    }
}

void Trace::Note(double ms, const std::string& text) {
    Emit(Format("%10.3f ---- %s", ms, text.c_str()));
}

void Trace::Emit(const std::string& line, bool flush) {
    std::lock_guard lock(mu_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    if (flush) std::fflush(out_);
}

}  // namespace vbc::sim
