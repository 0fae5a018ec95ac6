// The protocol fuzz target's seed corpus, replayed in the ordinary suite: every seed must end in
// a defined result with the target's checks holding (a broken check aborts the test). Findings
// worth keeping go into the corpus and are replayed here from then on, under every compiler and
// sanitizer the suite runs with.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/protocol_fuzz.cpp"

namespace {

TEST(ProtocolFuzzReplay, EverySeedEndsInADefinedResult) {
    ASSERT_EQ(LLVMFuzzerInitialize(nullptr, nullptr), 0);
    const std::filesystem::path corpus = VBC_SOURCE_DIR "/fuzz/corpus/protocol";
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream f(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(f)),
                                              std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
        ++replayed;
    }
    EXPECT_GE(replayed, 10);
    // Each run frees what it left in the modules: a comment list kept across runs grew by
    // every run's lines and made libFuzzer run a leak check after nearly every input.
    EXPECT_TRUE(vbc::CommentLines().empty());
    vbc::platform::SetSerialProvider(nullptr);  // the target's, installed by its first run
}

}  // namespace
