#include "cli/options.h"

#include <cstddef>

namespace vbc::cli {

bool ParseWaitStates(const std::string& text, std::array<int, 4>* states) {
    std::array<int, 4> parsed{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        if (pos >= text.size() || text[pos] < '0' || text[pos] > '4') return false;
        parsed[i] = text[pos++] - '0';
        const bool last = i + 1 == parsed.size();
        if (last ? pos != text.size() : (pos >= text.size() || text[pos++] != ',')) return false;
    }
    if (states) *states = parsed;
    return true;
}

}  // namespace vbc::cli
