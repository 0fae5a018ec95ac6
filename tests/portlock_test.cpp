// The port lock over a real pseudo-terminal, with the lock files in a scratch directory.
#include "platform/posix/portlock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/uniquefd.h"
#include "tests/testutil.h"

namespace vbc::platform {
namespace {

namespace fs = std::filesystem;

class PortLockTest : public ::testing::Test {
  protected:
    PortLockTest() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        ::grantpt(master_.Get());
        ::unlockpt(master_.Get());
        path_ = ::ptsname(master_.Get());
        SetLockDirectory(dir_.path().string());
        file_ = dir_.path() / LockFileName(path_);
    }
    ~PortLockTest() override { SetLockDirectory("/var/lock"); }
    UniqueFd OpenSlave() { return UniqueFd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)); }

    test::ScratchDir dir_;
    UniqueFd master_;
    std::string path_;
    fs::path file_;
};

TEST(PortLockName, IsTheDeviceWithoutDevAndSlashes) {
    EXPECT_EQ(LockFileName("/dev/ttyVBCNONE0"), "LCK..ttyVBCNONE0");
    EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");
}

TEST_F(PortLockTest, HoldsTheDeviceAgainstEveryOtherOpenUntilReleased) {
    UniqueFd first = OpenSlave();
    PortLock held;
    ASSERT_TRUE(held.Acquire(first.Get(), path_, nullptr));
    EXPECT_EQ(std::stol(test::ReadFile(file_)), static_cast<long>(::getpid()));

    UniqueFd second = OpenSlave();
    PortLock refused;
    PortHolder holder;
    errno = 0;
    EXPECT_FALSE(refused.Acquire(second.Get(), path_, &holder));
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(holder.pid, static_cast<long>(::getpid()));  // no other process has it open

    held.Release();
    first = UniqueFd();  // the flock goes with the descriptor
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_TRUE(refused.Acquire(second.Get(), path_, nullptr));
}

TEST_F(PortLockTest, LockFilesOfGoneProcessesAreTakenOverAndNoDirectoryMeansFlockAlone) {
    const struct {
        const char* what;
        std::string content;  // "" for no file
        bool noDirectory;
    } cases[] = {
        {"a dead process's file", "4194305\n", false},
        {"an unreadable file", "junk", false},
        {"no lock directory", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.noDirectory) SetLockDirectory((dir_.path() / "missing").string());
        if (!c.content.empty()) test::WriteFile(file_, c.content);
        UniqueFd fd = OpenSlave();
        PortLock lock;
        EXPECT_TRUE(lock.Acquire(fd.Get(), path_, nullptr));
        if (!c.noDirectory) {
            EXPECT_EQ(std::stol(test::ReadFile(file_)), static_cast<long>(::getpid()));
        }
        lock.Release();
        EXPECT_FALSE(fs::exists(file_));
        SetLockDirectory(dir_.path().string());
    }
}

}  // namespace
}  // namespace vbc::platform
