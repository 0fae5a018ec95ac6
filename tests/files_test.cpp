#include "platform/files.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cerrno>
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

// The bytes go into a new file of a name nobody has, then are renamed over the old one: what
// sits at NAME.tmp (a planted link; on Windows, where links need privileges, a file) is never
// opened, and nothing is left behind. Only a regular file is replaced: a link, a directory or
// a FIFO keeps its place and what it points to.
TEST(Files, AtomicReplaceMakesItsOwnTemporaryAndReplacesOnlyARegularFile) {
    namespace fs = std::filesystem;
    test::ScratchDir dir;
    test::WriteFile("config.txt", "old");
    test::WriteFile("victim.txt", "victim");
    fs::create_directory("folder");
    std::vector<std::string> names = {"config.txt", "config.txt.tmp", "folder", "fresh.txt",
                                      "victim.txt"};
    struct Refused {
        const char* name;
        int error;
        std::string problem;
    };
    std::vector<Refused> refused = {
        {"folder", EISDIR, "it is a directory"},
        {"nowhere/x.txt", ENOENT, "No such file or directory"},
    };
#if defined(_WIN32)
    test::WriteFile("config.txt.tmp", "victim");
#else
    fs::create_symlink("victim.txt", "config.txt.tmp");
    fs::create_symlink("victim.txt", "link.txt");
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    names.insert(names.end(), {"link.txt", "pipe"});
    refused.push_back({"link.txt", ELOOP,
                       "it is a symbolic link, which is neither replaced nor written through: "
                       "name the file itself"});
    refused.push_back({"pipe", EINVAL, "it is not a regular file (a device, a FIFO or a socket)"});
#endif

    ASSERT_TRUE(platform::WriteFileAtomically("config.txt", "new\r\ncontent"));
    ASSERT_TRUE(platform::WriteFileAtomically("fresh.txt", ""));
    EXPECT_EQ(platform::AtomicWriteProblem("config.txt"), "");
    EXPECT_EQ(platform::AtomicWriteProblem("new.txt"), "");
    for (const Refused& c : refused) {
        SCOPED_TRACE(c.name);
        int error = 0;
        EXPECT_FALSE(platform::WriteFileAtomically(c.name, "x", &error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(platform::AtomicWriteProblem(c.name), c.problem);
    }

    EXPECT_EQ(test::ReadFile("config.txt"), "new\r\ncontent");
    EXPECT_EQ(test::ReadFile("fresh.txt"), "");
    EXPECT_EQ(test::ReadFile("victim.txt"), "victim");
    EXPECT_EQ(test::ReadFile("config.txt.tmp"), "victim");
#if !defined(_WIN32)
    EXPECT_EQ(fs::read_symlink("link.txt"), "victim.txt");
    EXPECT_EQ(fs::read_symlink("config.txt.tmp"), "victim.txt");
#endif
    std::vector<std::string> listed;
    for (const auto& entry : fs::directory_iterator("."))
        listed.push_back(entry.path().filename().string());
    std::sort(listed.begin(), listed.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listed, names);
}

}  // namespace
}  // namespace vbc
