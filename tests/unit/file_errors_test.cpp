// What the file system said when an upload's file or a download's source
// failed: the log passes it on to the operator, so it must be the system's
// own reason for the step that failed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/file_system.h"
#include "support/temp_dir.h"

namespace vextora {
namespace {

using test::TempDir;

TEST(UploadFileErrors, BeginKeepsTheReasonItRefusedTheTarget) {
    TempDir dir;
    dir.write("folder/inside", "x");
    dir.write("locked.txt", "keep");
    std::filesystem::permissions(dir / "locked.txt", std::filesystem::perms::owner_read);
    struct Case {
        std::string target;
        int error;
    };
    const Case cases[] = {
        {(dir / "missing" / "x").string(), ENOENT},
        {(dir / "folder").string(), EISDIR},
        {(dir / "locked.txt").string(), EACCES},
        {(dir / "folder" / "inside" / "x").string(), ENOTDIR},
    };
    for (const Case& c : cases) {
        UploadFile upload;
        EXPECT_FALSE(upload.begin(c.target)) << c.target;
        EXPECT_EQ(upload.error(), c.error) << c.target;
    }
    UploadFile fine;
    ASSERT_TRUE(fine.begin((dir / "new.txt").string()));
    EXPECT_EQ(fine.error(), 0);
}

TEST(UploadFileErrors, AWriteBeyondTheFileSizeLimitSaysSo) {
    TempDir dir;
    // The limit stands in for a full disk: the write fails with the
    // system's reason instead of a signal.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    UploadFile upload;
    bool began = upload.begin((dir / "big.bin").string());
    std::string data(8192, 'x');
    bool wrote = began && upload.write(data.data(), data.size());
    int error = upload.error();
    bool committed = began && upload.commit();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    ASSERT_TRUE(began);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(error, EFBIG);
    EXPECT_FALSE(committed);
    EXPECT_EQ(upload.error(), EFBIG) << "the failed write stays the reason";
    EXPECT_FALSE(dir.exists("big.bin"));
}

TEST(UploadFileErrors, ACommitWhoseFolderIsGoneSaysSo) {
    TempDir dir;
    std::filesystem::create_directory(dir / "sub");
    UploadFile upload;
    ASSERT_TRUE(upload.begin((dir / "sub" / "x.txt").string()));
    ASSERT_TRUE(upload.write("data", 4));
    std::filesystem::remove(dir / "sub");  // only the unnamed file was in it
    EXPECT_FALSE(upload.commit());
    EXPECT_EQ(upload.error(), ENOENT);
}

TEST(SourceFileErrors, AFailedOpenKeepsItsReasonAndAMoveKeepsIt) {
    TempDir dir;
    dir.write("folder/inside", "x");
    dir.write("file.txt", "content");
    SourceFile missing;
    EXPECT_FALSE(missing.open((dir / "nothing").string()));
    EXPECT_EQ(missing.error(), ENOENT);
    SourceFile folder;
    EXPECT_FALSE(folder.open((dir / "folder").string()));
    EXPECT_EQ(folder.error(), ENOENT) << "what is not a regular file is not there";
    SourceFile under;
    EXPECT_FALSE(under.open((dir / "file.txt" / "x").string()));
    EXPECT_EQ(under.error(), ENOTDIR);
    SourceFile moved(std::move(under));
    EXPECT_EQ(moved.error(), ENOTDIR);
    ASSERT_TRUE(moved.open((dir / "file.txt").string()));
    EXPECT_EQ(moved.error(), 0);
}

}  // namespace
}  // namespace vextora
