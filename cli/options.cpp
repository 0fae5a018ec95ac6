#include "cli/options.h"

#include <charconv>
#include <cstddef>
#include <system_error>

#include "link/mfl12pclib.h"

namespace vbc::cli {
namespace {

// The text as the operator typed it, quoted, after what was expected.
std::string Not(const std::string& expected, const std::string& text) {
    return expected + ", not \"" + text + "\"";
}

}  // namespace

bool ParseDecimal(const std::string& text, int min, int max, int* value) {
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    int v = 0;
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), last, v, 10);
    if (text.empty() || ec != std::errc() || ptr != last || v < min || v > max) return false;
    if (value) *value = v;
    return true;
}

std::string CheckPort(const std::string& text, int* port) {
    if (ParseDecimal(text, 1, 255, port)) return {};
    return Not("expected a COM number from 1 to 255", text);
}

std::string CheckProduct(const std::string& text, int* product) {
    if (ParseDecimal(text, 1, 2, product)) return {};
    return Not("expected product type 1 or 2", text);
}

std::string CheckSpeedRow(const std::string& text, int* row) {
    if (ParseDecimal(text, 0, NB_PC_SPEED_VALUES - 1, row)) return {};
    int beyond = 0;
    if (ParseDecimal(text, NB_PC_SPEED_VALUES, NB_SPEED_PARAMETERS - 1, &beyond))
        return "row " + std::to_string(beyond) + " of the speed table has no PC rate: use 0 to " +
               std::to_string(NB_PC_SPEED_VALUES - 1);
    return Not(
        "expected a row of the speed table from 0 to " + std::to_string(NB_PC_SPEED_VALUES - 1),
        text);
}

std::string CheckWaitStates(const std::string& text, std::array<int, 4>* states) {
    std::array<int, 4> parsed{};
    std::size_t from = 0;
    bool good = true;
    for (std::size_t i = 0; good && i < parsed.size(); ++i) {
        const bool last = i + 1 == parsed.size();
        const std::size_t comma = last ? text.size() : text.find(',', from);
        good = comma != std::string::npos &&
               ParseDecimal(text.substr(from, comma - from), 0, 4, &parsed[i]);
        from = comma + 1;
    }
    if (!good)
        return Not("expected four numbers from 0 to 4 separated by commas, e.g. 0,1,0,2", text);
    if (states) *states = parsed;
    return {};
}

namespace {

// A number written in decimal or with 0x in hexadecimal, below 2^32.
bool ParseNumber32(const std::string& text, std::uint64_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    std::uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(first, last, v, hex ? 16 : 10);
    if (first == last || ec != std::errc() || ptr != last || v > 0xFFFFFFFFu) return false;
    *value = v;
    return true;
}

}  // namespace

std::string CheckRange(const std::string& text, std::uint32_t* offset, std::uint32_t* length) {
    const auto colon = text.find(':');
    std::uint64_t o = 0;
    std::uint64_t n = 0;
    if (colon == std::string::npos || !ParseNumber32(text.substr(0, colon), &o) ||
        !ParseNumber32(text.substr(colon + 1), &n) || n == 0)
        return "expected OFFSET:LENGTH, decimal or 0x hexadecimal, LENGTH at least 1, e.g. "
               "0x10000:4096, not \"" +
               text + "\"";
    if (o + n > 0x100000000u)
        return "\"" + text + "\" ends past 4 GiB, beyond the last address a phone has";
    if (offset) *offset = static_cast<std::uint32_t>(o);
    if (length) *length = static_cast<std::uint32_t>(n);
    return "";
}

bool ParseWaitStates(const std::string& text, std::array<int, 4>* states) {
    return CheckWaitStates(text, states).empty();
}

}  // namespace vbc::cli
