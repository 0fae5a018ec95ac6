#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "link/mfl12pclib.h"
#include "testutil.h"

namespace vbc {
namespace {

TEST(Files, ExistenceAndSize) {
    test::ScratchDir dir;
    test::WriteFile("seven.bin", std::string("a\r\nb\0c\n", 7));
    test::WriteFile("empty.bin", "");
    std::filesystem::create_directory("folder");

    EXPECT_TRUE(platform::FileCanOpen("seven.bin"));
    EXPECT_TRUE(platform::FileCanOpen("empty.bin"));
    EXPECT_FALSE(platform::FileCanOpen("missing.bin"));

    std::int64_t size = -1;
    EXPECT_EQ(platform::GetFileInfo("seven.bin", &size), 1);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(platform::GetFileInfo("empty.bin", &size), 1);
    EXPECT_EQ(size, 0);
    size = -1;
    EXPECT_EQ(platform::GetFileInfo("missing.bin", &size), 0);
    EXPECT_EQ(platform::GetFileInfo("folder", &size), 0);
    EXPECT_EQ(size, -1);
}

TEST(Files, CalculateLengthOfFile) {
    test::ScratchDir dir;
    test::WriteFile("flash.txt", std::string(1000, 'x'));
    test::WriteFile("empty.txt", "");
    std::filesystem::create_directory("folder");
    struct Case {
        const char* name;
        std::int32_t status;
        std::int32_t size;
    };
    const Case cases[] = {
        {"flash.txt", 1, 1000}, {"empty.txt", 1, 0}, {"missing.txt", 2, -1}, {"folder", 2, -1}};
    for (const Case& c : cases) {
        std::int32_t size = -1;
        EXPECT_EQ(_mfl12_2CalculateLengthOfFile(c.name, &size), c.status) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
    }
}

TEST(Files, ReadsTheWholeFileUnchanged) {
    test::ScratchDir dir;
    std::string bytes;
    for (int i = 0; i < 200000; ++i) bytes += static_cast<char>(i * 7 + (i >> 9));
    test::WriteFile("big.bin", bytes);

    std::vector<std::uint8_t> out = {1, 2, 3};
    ASSERT_TRUE(platform::ReadWholeFile("big.bin", out));
    EXPECT_EQ(std::string(out.begin(), out.end()), bytes);
    EXPECT_FALSE(platform::ReadWholeFile("missing.bin", out));
    EXPECT_TRUE(out.empty());

    std::vector<std::uint8_t> buffer(bytes.size());
    ASSERT_TRUE(platform::FileToArray("big.bin", buffer.data(), buffer.size()));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), bytes);
    std::vector<std::uint8_t> more(bytes.size() + 1);
    EXPECT_FALSE(platform::FileToArray("big.bin", more.data(), more.size()));
    EXPECT_FALSE(platform::FileToArray("missing.bin", buffer.data(), 1));
    EXPECT_TRUE(platform::FileToArray("big.bin", nullptr, 0));
}

TEST(Files, AtomicReplaceLeavesNoTemporary) {
    test::ScratchDir dir;
    test::WriteFile("config.txt", "old");
    ASSERT_TRUE(platform::WriteFileAtomically("config.txt", "new\r\ncontent"));
    EXPECT_EQ(test::ReadFile("config.txt"), "new\r\ncontent");
    EXPECT_FALSE(std::filesystem::exists("config.txt.tmp"));
    // A target that cannot be replaced keeps its place and leaves nothing behind.
    std::filesystem::create_directory("folder");
    EXPECT_FALSE(platform::WriteFileAtomically("folder", "x"));
    EXPECT_TRUE(std::filesystem::is_directory("folder"));
    EXPECT_FALSE(std::filesystem::exists("folder.tmp"));
}

}  // namespace
}  // namespace vbc
