// Loading of the software file: the image, the panel, and what a failed load leaves behind.
#include "data/mfl51loadfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/context.h"
#include "platform/files.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kLoading = " Software file loading, please wait...  ";
constexpr const char* kNotFound = "LIB_PC : File not found";
constexpr const char* kSizeError = "LIB_PC : The calculation of the file size create an error";

class LoadFile : public ::testing::Test {
  protected:
    void Load(const std::string& name) {
        ASSERT_LT(name.size(), sizeof _sg_DownloadContext.claFileName);
        std::strcpy(_sg_DownloadContext.claFileName, name.c_str());
        _mfl51_0InitLoadFile();
    }
    static std::string Image() {
        const DownloadContext& c = _sg_DownloadContext;
        if (!c.fileBuffer) return "<null>";
        return std::string(reinterpret_cast<const char*>(c.fileBuffer),
                           static_cast<std::size_t>(c.fileSize));
    }
    std::string Abs(const std::string& name) const { return (dir.path() / name).string(); }
    int Size() const { return ui.rec.CtrlValue(_v_Panel, MAIN_FILE_SIZE); }
    std::vector<std::string> NameBox() const {
        return ui.rec.TextBoxLines(_v_Panel, MAIN_FILE_NAME);
    }

    test::ScratchDir dir;
    test::MainPanelUp ui;
};

TEST_F(LoadFile, ReadsAnyFileWholeAndUnchanged) {
    const std::string big = [] {
        std::string s(70'001, '\0');
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + 3);
        return s;
    }();
    for (const std::string& content :
         {std::string(), std::string("\x5A"), std::string("ab\r\n\0\x1A\xFF", 7), big}) {
        SCOPED_TRACE(content.size());
        test::WriteFile("phone.cla", content);
        Load(Abs("phone.cla"));
        const DownloadContext& c = _sg_DownloadContext;
        EXPECT_EQ(c.fileSize, static_cast<std::int32_t>(content.size()));
        ASSERT_NE(c.fileBuffer, nullptr);
        EXPECT_EQ(Image(), content);  // odd lengths are not rounded
        EXPECT_EQ(c.fileBuffer[c.fileSize], 0);
        EXPECT_EQ(std::string(c.claFileName), Abs("phone.cla"));
        EXPECT_GE(c.claFileHandle, 0);
        EXPECT_EQ(std::string(c.defaultPath), dir.path().string());
        EXPECT_EQ(Size(), static_cast<int>(content.size()));
        EXPECT_THAT(NameBox(), ElementsAre(Abs("phone.cla")));
        EXPECT_EQ(ui.PanelsShown(), 0u);
        EXPECT_TRUE(ui.Unlocked());
    }
    EXPECT_EQ(ui.Comments(), std::vector<std::string>(4, kLoading));
}

TEST_F(LoadFile, ShowsNameAndLoadingLineThenLocksForTheLoad) {
    test::WriteFile("a.cla", "12345");
    const std::string bar = std::to_string(_v_MenuBarHandle);
    Load("a.cla");
    const int p = _v_Panel;
    const std::string P = std::to_string(p);
    EXPECT_THAT(
        ui.rec.LogLines(),
        ElementsAre("ResetTextBox " + P + " 7 \"\"", "InsertTextBoxLine " + P + " 7 0 \"a.cla\"",
                    "InsertListItem " + P + " 10 0 \"" + kLoading + "\" 0",
                    "SetCtrlIndex " + P + " 10 0", "SetCtrlAttribute " + P + " 5 500 1",
                    "SetCtrlAttribute " + P + " 16 500 1", "SetCtrlAttribute " + P + " 4 500 1",
                    "SetCtrlAttribute " + P + " 2 500 1", "SetCtrlAttribute " + P + " 3 500 1",
                    "SetMenuBarAttribute " + bar + " 0 500 1", "ProcessSystemEvents",
                    "SetCtrlVal " + P + " 8 5", "SetMenuBarAttribute " + bar + " 0 500 0",
                    "SetCtrlAttribute " + P + " 16 500 0", "SetCtrlAttribute " + P + " 4 500 0",
                    "SetCtrlAttribute " + P + " 2 500 0", "SetCtrlAttribute " + P + " 3 500 0",
                    "SetCtrlAttribute " + P + " 5 500 0", "ProcessSystemEvents"));
    // A relative name keeps defaultPath as it was.
    EXPECT_STREQ(_sg_DownloadContext.defaultPath, "");
}

TEST_F(LoadFile, SecondFileReplacesTheFirst) {
    test::WriteFile("first.cla", std::string(5000, 'F'));
    test::WriteFile("second.cla", "SS");
    Load(Abs("first.cla"));
    ASSERT_EQ(_sg_DownloadContext.fileSize, 5000);
    Load(Abs("second.cla"));
    EXPECT_EQ(Image(), "SS");
    EXPECT_EQ(Size(), 2);
    EXPECT_THAT(NameBox(), ElementsAre(Abs("second.cla")));
    // Loading the same name again reads the file again.
    test::WriteFile("second.cla", "TTT");
    Load(Abs("second.cla"));
    EXPECT_EQ(Image(), "TTT");
}

// Backslashes separate the directory even where the system does not use them.
TEST_F(LoadFile, DefaultPathIsTheDirectoryOfTheLastName) {
    test::WriteFile("D:\\longer\\directory\\old.cla", "old");
    test::WriteFile("D:\\a\\b\\new.cla", "new");
    test::WriteFile("E:\\a.cla", "e");
    Load("D:\\longer\\directory\\old.cla");
    EXPECT_STREQ(_sg_DownloadContext.defaultPath, "D:\\longer\\directory");
    Load("D:\\a\\b\\new.cla");
    EXPECT_STREQ(_sg_DownloadContext.defaultPath, "D:\\a\\b");
    EXPECT_EQ(Image(), "new");
    Load("E:\\a.cla");
    EXPECT_STREQ(_sg_DownloadContext.defaultPath, "E:");
    // A failed load still moves the next file selection to where the operator looked.
    Load("D:\\missing\\x.cla");
    EXPECT_STREQ(_sg_DownloadContext.defaultPath, "D:\\missing");
}

// A file that does not load never leaves the previous image under the new name: the image is
// released so that Start refuses, the failure is shown, and the new name stays for a Save.
TEST_F(LoadFile, FailureReleasesThePreviousImage) {
    std::filesystem::create_directory("folder.cla");
    // Nobody writes to the pipe: opening it for reading would wait for ever.
    ASSERT_EQ(::mkfifo("pipe.cla", 0644), 0);
    {
        // A size beyond what the image can hold, without writing it: a sparse file.
        const int fd = ::open("huge.cla", O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t{3} << 30), 0);
        ::close(fd);
    }
    struct Case {
        std::string name;
        std::string message;
        bool opened;
    };
    for (const Case& c :
         {Case{Abs("missing.cla"), kNotFound, false}, Case{Abs("nodir/x.cla"), kNotFound, false},
          Case{Abs("folder.cla"), kSizeError, false}, Case{Abs("pipe.cla"), kSizeError, false},
          Case{"/dev/zero", kSizeError, false}, Case{Abs("huge.cla"), kSizeError, true}}) {
        SCOPED_TRACE(c.name);
        test::WriteFile("good.cla", "GOOD");
        Load(Abs("good.cla"));
        ASSERT_EQ(Image(), "GOOD");
        ui.rec.ClearLog();

        Load(c.name);
        const DownloadContext& c2 = _sg_DownloadContext;
        EXPECT_EQ(c2.fileBuffer, nullptr);
        EXPECT_EQ(c2.fileSize, 0);
        EXPECT_EQ(c2.claFileName, c.name);
        EXPECT_EQ(c2.claFileHandle >= 0, c.opened);
        if (!c.opened) {
            EXPECT_EQ(c2.claFileHandle, -1);
        }
        EXPECT_EQ(std::string(c2.defaultPath),
                  std::filesystem::path(c.name).parent_path().string());
        EXPECT_THAT(NameBox(), ElementsAre(c.name));
        EXPECT_EQ(Size(), 0);
        EXPECT_THAT(ui.Shown(UTIL_LIB_PC_ERR), ElementsAre(c.message));
        EXPECT_EQ(ui.PanelsShown(), 1u);
        EXPECT_TRUE(ui.Unlocked());
        EXPECT_EQ(ui.Comments().back(), kLoading);
        // The failure is shown while the panel is still locked, before the unlock.
        const auto lines = ui.rec.LogLines();
        const auto shown =
            std::find(lines.begin(), lines.end(),
                      "SetCtrlVal " +
                          std::to_string(ui.rec.DisplayedPanels(kUtilityUir, UTIL_LIB_PC_ERR)[0]) +
                          " 3 \"" + c.message + "\"");
        const auto relocked = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("LoadMenuBar", 0) == 0;
        });
        EXPECT_LT(shown, relocked);
        // Acknowledge it before the next case.
        CloseMessagePanel(MessagePanel::LibPcErr);
    }
}

TEST_F(LoadFile, UnreadableFileIsNotFound) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
    test::WriteFile("locked.cla", "secret");
    ::chmod("locked.cla", 0);
    test::WriteFile("good.cla", "GOOD");
    Load(Abs("good.cla"));
    Load(Abs("locked.cla"));
    EXPECT_EQ(_sg_DownloadContext.fileBuffer, nullptr);
    EXPECT_EQ(_sg_DownloadContext.claFileName, Abs("locked.cla"));
    EXPECT_EQ(_sg_DownloadContext.claFileHandle, -1);
    EXPECT_THAT(ui.Shown(UTIL_LIB_PC_ERR), ElementsAre(kNotFound));
}

// A file that yields fewer bytes than its size: the kernel's attribute files report a
// whole page and hold a few bytes.
TEST_F(LoadFile, ShortReadIsASizeError) {
    std::string name;
    for (const char* candidate :
         {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling",
          "/sys/power/state", "/sys/kernel/uevent_seqnum"}) {
        std::vector<std::uint8_t> bytes;
        struct stat st {};
        if (::stat(candidate, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            platform::ReadWholeFile(candidate, bytes) &&
            static_cast<std::int64_t>(bytes.size()) < st.st_size) {
            name = candidate;
            break;
        }
    }
    if (name.empty()) GTEST_SKIP() << "no file shorter than its size on this system";
    test::WriteFile("good.cla", "GOOD");
    Load(Abs("good.cla"));
    Load(name);
    EXPECT_EQ(_sg_DownloadContext.fileBuffer, nullptr);
    EXPECT_EQ(_sg_DownloadContext.fileSize, 0);
    EXPECT_EQ(_sg_DownloadContext.claFileName, name);
    EXPECT_THAT(ui.Shown(UTIL_LIB_PC_ERR), ElementsAre(kSizeError));
}

TEST_F(LoadFile, EmptyNameReleasesTheImageSilently) {
    test::WriteFile("good.cla", "GOOD");
    Load(Abs("good.cla"));
    std::strcpy(_sg_DownloadContext.defaultPath, "keep");
    Load("");
    EXPECT_EQ(_sg_DownloadContext.fileBuffer, nullptr);
    EXPECT_EQ(_sg_DownloadContext.fileSize, 0);
    EXPECT_STREQ(_sg_DownloadContext.defaultPath, "keep");
    EXPECT_EQ(ui.PanelsShown(), 0u);
    EXPECT_THAT(NameBox(), IsEmpty());
    EXPECT_EQ(Size(), 0);
    EXPECT_TRUE(ui.Unlocked());
    EXPECT_EQ(ui.Comments(), std::vector<std::string>(2, kLoading));
}

// A name that fills the whole field is read up to its terminator, never past it.
TEST_F(LoadFile, NameFillingTheFieldIsTerminated) {
    std::memset(_sg_DownloadContext.claFileName, 'x', sizeof _sg_DownloadContext.claFileName);
    _mfl51_0InitLoadFile();
    EXPECT_EQ(_sg_DownloadContext.claFileName, std::string(kPathSize - 1, 'x'));
    EXPECT_THAT(ui.Shown(UTIL_LIB_PC_ERR), ElementsAre(kNotFound));
}

}  // namespace
}  // namespace vbc
