// The durable file replacement: every step that can fail leaves the old file whole and no
// temporary behind, and the bytes arrive whole through short writes.
#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "FailingFileCalls.h"
#include "TestSupport.h"
#include "module/FileIo.h"

namespace fs = std::filesystem;

namespace {

using Call = FailingFileCalls::Call;

std::size_t filesIn(const std::string& dir) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) count += entry.is_regular_file() ? 1 : 0;
    return count;
}

}  // namespace

TEST(FileIo, ReplacesTheFileWholeThroughShortWrites) {
    TempHome home(false);
    writeFile("copy.png", "old content");
    FailingFileCalls calls;
    calls.maxWriteBytes = 3;
    const std::string bytes(1000, 'n');
    {
        ScopedFileCalls installed(calls);
        ASSERT_TRUE(replaceFileDurably("copy.png", bytes.data(), bytes.size()));
    }
    EXPECT_EQ(readFile("copy.png"), bytes);
    EXPECT_EQ(filesIn("."), 1u) << "no temporary file is left";
    EXPECT_GE(calls.count(Call::Write), 334u);
    EXPECT_EQ(calls.count(Call::Fsync), 2u) << "the file and its folder";
}

TEST(FileIo, EveryFailingStepKeepsTheOldFileAndRemovesTheNewOne) {
    struct Case {
        Call call;
        std::size_t nth;
        int error;
    };
    const Case cases[] = {{Call::Open, 1, EACCES}, {Call::Write, 1, ENOSPC}, {Call::Write, 2, ENOSPC},
                          {Call::Fsync, 1, EIO},   {Call::Close, 1, EDQUOT}, {Call::Rename, 1, EXDEV}};
    for (const Case& failing : cases) {
        TempHome home(false);
        writeFile("copy.png", "old content");
        FailingFileCalls calls(failing.call, failing.nth, failing.error);
        calls.maxWriteBytes = 600;
        const std::string bytes(1000, 'n');
        errno = 0;
        {
            ScopedFileCalls installed(calls);
            EXPECT_FALSE(replaceFileDurably("copy.png", bytes.data(), bytes.size()))
                << "call " << static_cast<int>(failing.call) << " #" << failing.nth;
        }
        EXPECT_EQ(errno, failing.error) << "the caller sees the failing step's cause";
        EXPECT_EQ(readFile("copy.png"), "old content");
        EXPECT_EQ(filesIn("."), 1u) << "call " << static_cast<int>(failing.call) << " #" << failing.nth;
    }
}

TEST(FileIo, AFolderThatCannotBeSyncedIsReportedAfterTheRename) {
    TempHome home(false);
    FailingFileCalls calls(Call::Fsync, 2);
    ScopedFileCalls installed(calls);
    EXPECT_FALSE(replaceFileDurably("new.png", "abc", 3));
    EXPECT_EQ(readFile("new.png"), "abc");
}

TEST(FileIo, AWriteThatTakesNothingIsAFullDisk) {
    struct TakesNothing : FileCalls {
        ssize_t write(int, const void*, std::size_t) override { return 0; }
    } calls;
    TempHome home(false);
    ScopedFileCalls installed(calls);
    errno = 0;
    EXPECT_FALSE(replaceFileDurably("copy.png", "abc", 3));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(fs::exists("copy.png"));
    EXPECT_EQ(filesIn("."), 0u);
}

TEST(FileIo, TemporaryNamesAreBesideTheTargetAndUnique) {
    const std::string first = temporaryNameBeside("pics/a.png");
    EXPECT_EQ(first.rfind("pics/a.png.", 0), 0u);
    EXPECT_NE(first, temporaryNameBeside("pics/a.png"));
    TempHome home(false);
    const std::string longest = std::string(250, 'n') + ".png";
    const std::string beside = temporaryNameBeside("./" + longest);
    EXPECT_EQ(beside.rfind("./likeness.partial-", 0), 0u) << "a name at the limit gets a short temporary";
    EXPECT_TRUE(replaceFileDurably(longest, "abc", 3));
    EXPECT_EQ(readFile(longest), "abc");
}
