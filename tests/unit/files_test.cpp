// The data files: line reading, account records, the catalog, and the
// durability rules for appends and rewrites.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_store.h"
#include "platform/file_system.h"
#include "sharing/catalog.h"
#include "support/temp_dir.h"

namespace vextora {
namespace {

using test::TempDir;

// Writes that would take any file of this process past `bytes` stop there
// (EFBIG), as they would on a full disk, for the life of the object.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    sighandler_t previous_ = SIG_DFL;
};

std::vector<TextLine> readAll(const TempDir& dir, const std::string& name) {
    LineReader reader((dir / name).string());
    std::vector<TextLine> lines;
    TextLine line;
    while (reader.next(line)) lines.push_back(line);
    return lines;
}

TEST(LineReader, AcceptsCrLfAndBareLfAndMarksAnUnendedLastLine) {
    TempDir dir;
    dir.write("f", "one\r\ntwo\n\r\nlast\r");
    auto lines = readAll(dir, "f");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "one");
    EXPECT_EQ(lines[1].text, "two");
    EXPECT_EQ(lines[2].text, "");
    EXPECT_TRUE(lines[2].ended);
    EXPECT_EQ(lines[3].text, "last\r") << "a CR without LF is no line end";
    EXPECT_FALSE(lines[3].ended);
}

TEST(LineReader, LongLinesStayWholeAndKeepLaterLinesAligned) {
    TempDir dir;
    std::string longLine(300, 'x');
    std::string huge(LineReader::KEEP_LIMIT + 5000, 'y');
    dir.write("f", longLine + "\r\nafter\r\n" + huge + "\nend\n");
    auto lines = readAll(dir, "f");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, longLine);
    EXPECT_EQ(lines[1].text, "after");
    EXPECT_TRUE(lines[2].cut);
    EXPECT_EQ(lines[2].text.size(), LineReader::KEEP_LIMIT);
    EXPECT_EQ(lines[3].text, "end");
}

TEST(LineReader, ReadsTheFileAsItWasWhenOpenedEvenIfItShrinks) {
    TempDir dir;
    dir.write("empty", "");
    EXPECT_TRUE(readAll(dir, "empty").empty());

    dir.write("grows", "first\r\n");
    LineReader growing((dir / "grows").string());
    dir.write("grows", "first\r\nsecond\r\n");
    TextLine line;
    ASSERT_TRUE(growing.next(line));
    EXPECT_EQ(line.text, "first");
    EXPECT_FALSE(growing.next(line)) << "a line added after the open is not read";

    dir.write("shrinks", "a long first line\r\nsecond\r\n");
    LineReader shrinking((dir / "shrinks").string());
    dir.write("shrinks", "short\n");
    ASSERT_TRUE(shrinking.next(line));
    EXPECT_EQ(line.text, "short");
    EXPECT_FALSE(shrinking.next(line));
    EXPECT_FALSE(shrinking.failed());
}

TEST(LineReader, MissingFileAndFolderGiveNothing) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    EXPECT_FALSE(LineReader((dir / "missing").string()).isOpen());
    EXPECT_FALSE(LineReader((dir / "folder").string()).isOpen());
}

std::vector<std::string> keptLines(const FileSystem& files, std::string_view name) {
    LineReader reader = files.readLines(name);
    std::vector<std::string> lines;
    TextLine line;
    while (reader.next(line)) lines.push_back(line.text);
    if (!reader.isOpen()) lines.push_back("<not open>");
    return lines;
}

int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

using Lines = std::vector<std::string>;

TEST(KeptFile, EveryReadSeesWhatTheNameLeadsToNow) {
    TempDir dir;
    int before = openDescriptors();
    {
        FileSystem files(dir.str());
        EXPECT_EQ(keptLines(files, "c"), Lines{"<not open>"});
        dir.write("c", "BOB\\a\r\n");
        EXPECT_EQ(keptLines(files, "c"), Lines{"BOB\\a"});
        // Rewritten in place at once, to the same size: no time stamp or size
        // could tell the two apart, the content does.
        dir.write("c", "BOB\\b\r\n");
        EXPECT_EQ(keptLines(files, "c"), Lines{"BOB\\b"});
        ASSERT_TRUE(files.appendRecord("c", "ANN\\x\r\n", false));
        EXPECT_EQ(keptLines(files, "c"), (Lines{"BOB\\b", "ANN\\x"}));
        ASSERT_TRUE(files.replaceContent("c", "c.tmp", "NEW\r\n"));
        EXPECT_EQ(keptLines(files, "c"), Lines{"NEW"}) << "a file renamed over the name";
        // Other files read in between take the kept descriptor over.
        for (const char* other : {"u1", "u2", "u3", "u4", "u5"}) {
            dir.write(other, std::string(other) + "\r\n");
            EXPECT_EQ(keptLines(files, other), Lines{other});
        }
        EXPECT_EQ(keptLines(files, "c"), Lines{"NEW"});
        // Too large for one read: read in pieces, every line whole.
        std::string large;
        for (int i = 0; i < 10000; ++i) large += "LINE" + std::to_string(i) + "\r\n";
        dir.write("c", large);
        auto lines = keptLines(files, "c");
        ASSERT_EQ(lines.size(), 10000u);
        EXPECT_EQ(lines.back(), "LINE9999");
        dir.write("c", "");
        EXPECT_TRUE(keptLines(files, "c").empty());
        std::filesystem::remove(dir / "c");
        EXPECT_EQ(keptLines(files, "c"), Lines{"<not open>"});
        std::filesystem::create_directory(dir / "c");
        EXPECT_EQ(keptLines(files, "c"), Lines{"<not open>"});
        std::filesystem::remove(dir / "c");
        ASSERT_EQ(::mkfifo((dir / "c").c_str(), 0600), 0);
        EXPECT_EQ(keptLines(files, "c"), Lines{"<not open>"}) << "a FIFO is never opened";
        EXPECT_EQ(keptLines(files, "u1"), Lines{"u1"});
        EXPECT_LE(openDescriptors(), before + 1) << "one descriptor is kept";
    }
    EXPECT_EQ(openDescriptors(), before) << "the kept descriptors close with their owner";
}

TEST(KeptFile, KeptContentStandsInForAReadOnlyWhileTheFileIsUntouched) {
    TempDir dir;
    std::string path = (dir / "c").string();
    KeptFile kept(1);
    auto read = [&] {
        LineReader reader(path, kept);
        Lines lines;
        TextLine line;
        while (reader.next(line)) lines.push_back(line.text);
        return lines;
    };
    // Puts the modification time back, so only the change time tells.
    auto rewriteKeepingTimes = [&](const std::string& content) {
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        dir.write("c", content);
        timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    dir.write("c", "BOB\\a\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the file settles
    EXPECT_EQ(read(), Lines{"BOB\\a"});
    EXPECT_EQ(read(), Lines{"BOB\\a"});
    rewriteKeepingTimes("BOB\\b\r\n");
    EXPECT_EQ(read(), Lines{"BOB\\b"});
    rewriteKeepingTimes("BOB\\c\r\n");
    EXPECT_EQ(read(), Lines{"BOB\\c"}) << "changed a moment ago, so read anew";
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_TRUE(read().empty());
}

// Waits for the watch to report a change and takes it, as the server does
// after a readiness wait.
bool changeReported(KeptFile& kept, int handle, int waitMs = 1000) {
    pollfd ready{handle, POLLIN, 0};
    if (::poll(&ready, 1, waitMs) != 1) return false;
    kept.takeChanges();
    return true;
}

TEST(KeptFile, AWatchedFileIsTakenOnTrustUntilAChangeToItOrItsNameIsReported) {
    TempDir dir;
    std::filesystem::create_directory(dir / "elsewhere");
    std::string path = (dir / "c").string();
    KeptFile kept;
    int handle = kept.watchChanges();
    ASSERT_GE(handle, 0);
    auto read = [&] {
        LineReader reader(path, kept);
        Lines lines;
        TextLine line;
        while (reader.next(line)) lines.push_back(line.text);
        if (!reader.isOpen()) lines.push_back("<not open>");
        return lines;
    };
    dir.write("c", "BOB\\a\r\n");
    EXPECT_EQ(read(), Lines{"BOB\\a"});
    EXPECT_FALSE(changeReported(kept, handle, 100)) << "reading is no change";

    // The same size and modification time: only the report tells.
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    dir.write("c", "BOB\\b\r\n");
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(read(), Lines{"BOB\\a"}) << "until the report is taken, the kept content stands";
    ASSERT_TRUE(changeReported(kept, handle));
    EXPECT_EQ(read(), Lines{"BOB\\b"});

    struct Change {
        const char* what;
        std::function<void()> make;
        Lines seen;
    };
    std::vector<Change> changes = {
        {"a file renamed over the name",
         [&] {
             dir.write("c.new", "BOB\\c\r\n");
             std::filesystem::rename(dir / "c.new", dir / "c");
         },
         Lines{"BOB\\c"}},
        {"written through a link in another folder",
         [&] {
             std::filesystem::create_hard_link(dir / "c", dir / "elsewhere" / "c");
             dir.write("elsewhere/c", "BOB\\d\r\n");
         },
         Lines{"BOB\\d"}},
        {"made unreadable",
         [&] { std::filesystem::permissions(path, std::filesystem::perms::none); },
         Lines{"BOB\\d"}},
        {"removed", [&] { std::filesystem::remove(path); }, Lines{"<not open>"}},
        {"created again", [&] { dir.write("c", "BOB\\e\r\n"); }, Lines{"BOB\\e"}},
        {"truncated", [&] { ASSERT_EQ(::truncate(path.c_str(), 0), 0); }, Lines{}},
    };
    for (const auto& change : changes) {
        change.make();
        EXPECT_TRUE(changeReported(kept, handle)) << change.what;
        EXPECT_EQ(read(), change.seen) << change.what;
        EXPECT_EQ(read(), change.seen) << change.what << ", read again";
    }
    dir.write("other", "x");
    std::filesystem::remove(dir / "other");
    changeReported(kept, handle, 100);  // other names: taken and passed over
    EXPECT_EQ(read(), Lines{});
}

TEST(KeptFile, ChangesThisProcessMakesAndFilesBehindALinkAreSeenWithoutAReport) {
    TempDir dir;
    std::filesystem::create_directory(dir / "elsewhere");
    FileSystem files(dir.str());
    ASSERT_GE(files.watchChanges(), 0);
    dir.write("c", "BOB\\a\r\n");
    EXPECT_EQ(keptLines(files, "c"), Lines{"BOB\\a"});
    ASSERT_TRUE(files.appendRecord("c", "ANN\\x\r\n", false));
    EXPECT_EQ(keptLines(files, "c"), (Lines{"BOB\\a", "ANN\\x"}));
    ASSERT_TRUE(files.replaceContent("c", "c.tmp", "NEW\r\n"));
    EXPECT_EQ(keptLines(files, "c"), Lines{"NEW"});

    // Behind a link, the file lives where no watch of the name's folder sees it.
    dir.write("elsewhere/target", "OLD\r\n");
    std::filesystem::remove(dir / "c");
    std::filesystem::create_symlink(dir / "elsewhere" / "target", dir / "c");
    files.takeChanges();
    EXPECT_EQ(keptLines(files, "c"), Lines{"OLD"});
    files.takeChanges();  // the watch on the file the name left ends now
    EXPECT_EQ(keptLines(files, "c"), Lines{"OLD"});
    dir.write("elsewhere/target.new", "TWO\r\n");
    std::filesystem::rename(dir / "elsewhere" / "target.new", dir / "elsewhere" / "target");
    files.takeChanges();
    EXPECT_EQ(keptLines(files, "c"), Lines{"TWO"});
}

TEST(FileSystemMeasure, OnlyRegularFilesBelowFourGibibytesHaveASize) {
    TempDir dir;
    FileSystem files(dir.str());
    dir.write("f", "12345");
    dir.write("empty", "");
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(files.measureFile("f"), 5u);
    EXPECT_EQ(files.measureFile("empty"), 0u);
    EXPECT_EQ(files.measureFile("missing"), std::nullopt);
    EXPECT_EQ(files.measureFile("folder"), std::nullopt);
    EXPECT_EQ(files.measureFile("fifo"), std::nullopt);
    std::filesystem::resize_file(dir / "f", 0xFFFFFFFEull);
    EXPECT_EQ(files.measureFile("f"), 0xFFFFFFFEu);
    std::filesystem::resize_file(dir / "f", 0xFFFFFFFFull);
    EXPECT_EQ(files.measureFile("f"), std::nullopt) << "the size would read as 'unavailable'";
}

TEST(FileSystemPaths, BothSeparatorsWorkAndParentComponentsAreFound) {
    FileSystem files("/data/");
    EXPECT_EQ(files.nativePath("Users\\BOB\\a.txt"), "/data/Users/BOB/a.txt");
    for (const char* bad : {"..", "..\\x", "a/../b", "a\\..", "x\\..\\..\\users.dat", "/.."})
        EXPECT_TRUE(FileSystem::hasParentComponent(bad)) << bad;
    for (const char* fine : {"a..b", "...", "..a", "a.b\\c", "", ".", "/etc/passwd"})
        EXPECT_FALSE(FileSystem::hasParentComponent(fine)) << fine;
}

TEST(FileSystemAppend, TornLastLineGetsItsLineEndFirst) {
    TempDir dir;
    FileSystem files(dir.str());
    dir.write("a", "BOB\r\nsecret");
    ASSERT_TRUE(files.appendRecord("a", "ANN\r\npw\r\n", false));
    EXPECT_EQ(dir.read("a"), "BOB\r\nsecret\r\nANN\r\npw\r\n");
    // Whatever the last line ends in, a reader sees it as before, followed by
    // the new record: a CR alone is no line end, and stays part of the value.
    for (std::string last : {"secret", "secret\r", "secret\r\r", "\r", "secret\n", "x\r\n"}) {
        dir.write("b", "BOB\r\n" + last);
        auto before = readAll(dir, "b");
        ASSERT_TRUE(files.appendRecord("b", "X\r\n", false));
        auto after = readAll(dir, "b");
        ASSERT_EQ(after.size(), before.size() + 1) << last;
        for (std::size_t i = 0; i < before.size(); ++i)
            EXPECT_EQ(after[i].text, before[i].text) << last;
        EXPECT_EQ(after.back().text, "X");
    }
    dir.write("b", "BOB\r\nsecret\r");
    ASSERT_TRUE(files.appendRecord("b", "X\r\n", false));
    EXPECT_EQ(dir.read("b"), "BOB\r\nsecret\r\r\nX\r\n");
    ASSERT_TRUE(files.appendRecord("new", "X\r\n", true, 0600));
    struct stat info {};
    ASSERT_EQ(::stat((dir / "new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(FileSystemAppend, AWriteCutShortLeavesTheFileAsItWas) {
    TempDir dir;
    FileSystem files(dir.str());
    struct Case {
        std::string before;
        bool exists;
        bool durable;
    };
    const Case cases[] = {
        {"BOB\r\nbobpw\r\n", true, true},
        {"BOB\r\nbobpw\r\n", true, false},
        {"BOB\r\ntorn", true, true},  // the line end it would get goes too
        {"", true, false},
        {"", false, true},
    };
    const std::string record = "EVE\r\n" + std::string(44, 'p') + "\r\n";
    for (const Case& c : cases) {
        std::filesystem::remove(dir / "f");
        if (c.exists) dir.write("f", c.before);
        {
            // Room for part of the record only: the write stops in its middle.
            FileSizeLimit limit(c.before.size() + 17);
            EXPECT_FALSE(files.appendRecord("f", record, c.durable)) << c.before;
        }
        if (c.exists)
            EXPECT_EQ(dir.read("f"), c.before);
        else
            EXPECT_FALSE(dir.exists("f")) << "a file made for the record goes with it";
        // With room again, the next append adds exactly its own record.
        ASSERT_TRUE(files.appendRecord("f", "ANN\r\nannpw\r\n", c.durable));
        std::string separator = c.before.empty() || c.before.back() == '\n' ? "" : "\r\n";
        EXPECT_EQ(dir.read("f"), c.before + separator + "ANN\r\nannpw\r\n");
    }
}

TEST(FileSystemReplace, RewriteLeavesNoTemporaryAndKeepsTargetOnFailure) {
    TempDir dir;
    FileSystem files(dir.str());
    dir.write("shared.dat", "old\r\n");
    ASSERT_TRUE(files.replaceContent("shared.dat", "vxttemp.tmp", "new\r\n"));
    EXPECT_EQ(dir.read("shared.dat"), "new\r\n");
    EXPECT_FALSE(dir.exists("vxttemp.tmp"));
    // A temporary that cannot be created leaves the target untouched.
    EXPECT_FALSE(files.replaceContent("shared.dat", "no\\such\\folder\\tmp", "lost"));
    EXPECT_EQ(dir.read("shared.dat"), "new\r\n");
}

TEST(UploadFileCommit, ReplacesInOneStepAndAbandonLeavesTheOldFile) {
    TempDir dir;
    FileSystem files(dir.str());
    dir.write("f.txt", "old");
    {
        UploadFile upload;
        ASSERT_TRUE(upload.begin((dir / "f.txt").string()));
        upload.write("partial", 7);
        std::vector<DirectoryEntry> entries;
        files.listDirectory("", entries);
        EXPECT_EQ(entries.size(), 1u) << "the data in progress is never listed";
    }  // abandoned
    EXPECT_EQ(dir.read("f.txt"), "old");
    UploadFile upload;
    ASSERT_TRUE(upload.begin((dir / "f.txt").string()));
    upload.write("new content", 11);
    ASSERT_TRUE(upload.commit());
    EXPECT_EQ(dir.read("f.txt"), "new content");
    EXPECT_EQ(test::treeFingerprint(dir.path()).find(".vxtpart"), std::string::npos);
    EXPECT_FALSE(UploadFile().begin((dir / "missing" / "x").string()));

    // The file it replaces can be held past the rename, whole, and only then
    // given back; a first upload of a name replaces nothing.
    OwnedHandle replaced;
    ASSERT_TRUE(upload.begin((dir / "f.txt").string()));
    upload.write("third", 5);
    ASSERT_TRUE(upload.commit(&replaced));
    EXPECT_EQ(dir.read("f.txt"), "third");
    ASSERT_TRUE(replaced.isOpen());
    char held[16] = {};
    EXPECT_EQ(::pread(replaced.handle(), held, sizeof held, 0), 11);
    EXPECT_STREQ(held, "new content");
    ASSERT_TRUE(upload.begin((dir / "g.txt").string()));
    ASSERT_TRUE(upload.commit(&replaced));
    EXPECT_FALSE(replaced.isOpen());
}

TEST(FileSystemStartup, StaleTemporariesAreRemoved) {
    TempDir dir;
    dir.write("vxttemp.tmp", "x");
    dir.write("vxtTemp.tmp", "x");
    dir.write("Users/BOB/.vxtpart-1-2", "partial");
    dir.write("Users/BOB/sub/.vxtpart-9-9", "partial");
    dir.write("Users/BOB/keep.txt", "keep");
    FileSystem(dir.str()).removeStaleTemporaries();
    EXPECT_EQ(test::treeFingerprint(dir.path()).find("vxt"), std::string::npos);
    EXPECT_TRUE(dir.exists("Users/BOB/keep.txt"));
}

TEST(AccountStoreLogin, RecordsDecideAsWrittenWithEitherLineEnd) {
    TempDir dir;
    FileSystem files(dir.str());
    AccountStore accounts(files);
    dir.write("users.dat", "BOB\r\nbobpw\r\nann\nannpw\nBOB\r\nsecond\r\n" + std::string(300, 'L') +
                               "\r\nx\r\nEVE\r\nevepw");
    EXPECT_EQ(accounts.checkAccount("BOB", "bobpw"), LoginCheck::Ok);
    EXPECT_EQ(accounts.checkAccount("BOB", "second"), LoginCheck::WrongPassword)
        << "the first record with the name decides";
    EXPECT_EQ(accounts.checkAccount("ANN", "annpw"), LoginCheck::Ok)
        << "stored names are upper-cased";
    EXPECT_EQ(accounts.checkAccount("ANN", "ANNPW"), LoginCheck::WrongPassword);
    EXPECT_EQ(accounts.checkAccount("EVE", "evepw"), LoginCheck::NoSuchAccount)
        << "a record counts only once its password line ends";
    EXPECT_EQ(accounts.checkAccount(std::string(255, 'L'), "x"), LoginCheck::NoSuchAccount)
        << "an over-long line matches nothing";
    EXPECT_TRUE(accounts.nameTaken("EVE")) << "a torn last record still holds its name";
    EXPECT_TRUE(accounts.nameTaken("ANN"));
}

TEST(AccountStoreLogin, StoredLinesEndAtANulAndALastNameAloneIsTaken) {
    TempDir dir;
    FileSystem files(dir.str());
    AccountStore accounts(files);
    const char stored[] = "BOB\0x\r\npw\0rest\r\nANN\r\n";
    dir.write("users.dat", std::string(stored, sizeof stored - 1));
    EXPECT_EQ(accounts.checkAccount("BOB", "pw"), LoginCheck::Ok);
    EXPECT_TRUE(accounts.nameTaken("BOB"));
    EXPECT_EQ(accounts.checkAccount("ANN", ""), LoginCheck::NoSuchAccount);
    EXPECT_EQ(accounts.create("ann", "new"), CreateOutcome::Refused)
        << "a name whose password line never came is still taken";
    EXPECT_EQ(accounts.create("eve", "new"), CreateOutcome::WriteFailed)
        << "appending would make the new name that record's password";
    EXPECT_EQ(dir.read("users.dat"), std::string(stored, sizeof stored - 1));

    const char admin[] = "boss\0tail";
    dir.write("adminpass.cfg", std::string(admin, sizeof admin - 1));
    EXPECT_EQ(accounts.adminPassword(), "boss");
}

TEST(AccountStoreAdmin, FirstLineOfThePasswordFileCounts) {
    TempDir dir;
    FileSystem files(dir.str());
    AccountStore accounts(files);
    EXPECT_EQ(accounts.adminPassword(), "");
    dir.write("adminpass.cfg", "");
    EXPECT_EQ(accounts.adminPassword(), "");
    dir.write("adminpass.cfg", "topsecret");
    EXPECT_EQ(accounts.adminPassword(), "topsecret");
    dir.write("adminpass.cfg", "first\r\nsecond\r\n");
    EXPECT_EQ(accounts.adminPassword(), "first");
    ASSERT_TRUE(accounts.setAdminPassword("new one"));
    EXPECT_EQ(dir.read("adminpass.cfg"), "new one");
}

TEST(AccountNames, RefusedNamesAndPasswords) {
    struct Case {
        std::string name, password;
    };
    const Case refused[] = {
        {"", "pw"},
        {".", "pw"},
        {"..", "pw"},
        {"A\\B", "pw"},
        {"A/B", "pw"},
        {"A\rB", "pw"},
        {"A\nB", "pw"},
        {std::string("A\0B", 3), "pw"},
        {std::string(254, 'N'), "pw"},
        {"ADMIN", "pw"},
        {"GUEST", "pw"},
        {"SERVERSHARE", "pw"},
        {"BOB", "p\nw"},
        {"BOB", "p\rw"},
    };
    for (const auto& c : refused)
        EXPECT_FALSE(AccountStore::acceptable(c.name, c.password))
            << c.name.size() << " " << c.name;
    EXPECT_TRUE(AccountStore::acceptable(std::string(253, 'N'), ""));
    EXPECT_TRUE(AccountStore::acceptable("A.B C", "any \xff bytes"));
}

TEST(AccountCreation, AppendsAfterATornRecordAndRefusesADanglingName) {
    TempDir dir;
    FileSystem files(dir.str());
    AccountStore accounts(files);
    dir.write("users.dat", "BOB\r\nbobpw");
    EXPECT_EQ(accounts.create("ann", "annpw"), CreateOutcome::Created);
    EXPECT_EQ(dir.read("users.dat"), "BOB\r\nbobpw\r\nANN\r\nannpw\r\n");
    EXPECT_EQ(accounts.checkAccount("BOB", "bobpw"), LoginCheck::Ok);
    EXPECT_EQ(accounts.checkAccount("ANN", "annpw"), LoginCheck::Ok);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Users" / "ANN"));

    dir.write("users.dat", "BOB\r\nbobpw\r\nCAROL\r\n");
    EXPECT_EQ(accounts.create("dave", "davepw"), CreateOutcome::WriteFailed)
        << "appending would make DAVE the password of CAROL";
    EXPECT_EQ(dir.read("users.dat"), "BOB\r\nbobpw\r\nCAROL\r\n");
}

TEST(AccountCreation, ARecordThatCannotBeStoredLeavesNoAccountBehind) {
    TempDir dir;
    FileSystem files(dir.str());
    AccountStore accounts(files);
    const std::string before = "BOB\r\nbobpw\r\n";
    dir.write("users.dat", before);
    const std::string password(44, 'e');
    {
        FileSizeLimit limit(before.size() + 20);  // "EVE", its line end, 15 of 44
        EXPECT_EQ(accounts.create("eve", password), CreateOutcome::WriteFailed);
        EXPECT_EQ(dir.read("users.dat"), before);
        EXPECT_FALSE(dir.exists("Users/EVE")) << "no folder for an account that is not there";
        EXPECT_EQ(accounts.create("eve", password), CreateOutcome::WriteFailed)
            << "the name is not taken by what the failed write left";
    }
    EXPECT_EQ(accounts.create("eve", password), CreateOutcome::Created);
    EXPECT_EQ(dir.read("users.dat"), before + "EVE\r\n" + password + "\r\n");
    EXPECT_EQ(accounts.checkAccount("EVE", password), LoginCheck::Ok);
    EXPECT_EQ(accounts.checkAccount("EVE", password.substr(0, 15)), LoginCheck::WrongPassword);

    // A folder the operator made beforehand stays when the record fails.
    std::filesystem::create_directories(dir / "Users" / "MAL");
    FileSizeLimit limit(dir.read("users.dat").size() + 4);
    EXPECT_EQ(accounts.create("mal", "malpw"), CreateOutcome::WriteFailed);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Users" / "MAL"));
}

TEST(CatalogPublish, ALineThatCannotBeStoredLeavesTheCatalogAsItWas) {
    TempDir dir;
    FileSystem files(dir.str());
    Catalog catalog(files);
    const std::string before = "ANN\\a.txt\r\n";
    dir.write("shared.dat", before);
    {
        FileSizeLimit limit(before.size() + 10);
        EXPECT_FALSE(catalog.publish("BOB\\quarterly-report.pdf"));
        EXPECT_EQ(dir.read("shared.dat"), before);
        EXPECT_FALSE(catalog.contains("BOB\\quarterl"));
    }
    ASSERT_TRUE(catalog.publish("BOB\\b.txt"));
    EXPECT_EQ(dir.read("shared.dat"), before + "BOB\\b.txt\r\n");
}

TEST(CatalogCount, PrefixRuleAndUnendedLastLine) {
    TempDir dir;
    FileSystem files(dir.str());
    Catalog catalog(files);
    EXPECT_EQ(catalog.countOwnedBy("BOB"), 0) << "no catalog counts 0";
    dir.write("shared.dat", "BOB\\a.txt\r\nBOBBY\\b.txt\r\nALICE\\c.txt\r\n");
    EXPECT_EQ(catalog.countOwnedBy("BOB"), 2);
    EXPECT_EQ(catalog.countOwnedBy("BOBBY"), 1);
    EXPECT_EQ(catalog.countOwnedBy("ALICE"), 1);
    dir.write("shared.dat", "BOB\\a.txt\r\nBOBBY\\b.txt\r\nALICE\\c.txt");
    EXPECT_EQ(catalog.countOwnedBy("ALICE"), 0);
    dir.write("shared.dat", "BOB\\" + std::string(2000, 'z') + "\nBOB\\x\n");
    EXPECT_EQ(catalog.countOwnedBy("BOB"), 2) << "a long line counts once and shifts nothing";
}

TEST(CatalogRewrite, WithdrawKeepsOtherLinesAndLongLinesAndLeavesNoTemporary) {
    TempDir dir;
    FileSystem files(dir.str());
    Catalog catalog(files);
    std::string longLine = "HAND\\" + std::string(400, 'q');
    dir.write("shared.dat", "BOB\\a\r\n\r\nBOB\\a\nbob\\a\r\n" + longLine + "\r\nBOB\\A\r\n");
    ASSERT_TRUE(catalog.withdraw("BOB\\a", Catalog::SERVER_TEMP, true));
    EXPECT_EQ(dir.read("shared.dat"), "\r\nbob\\a\r\n" + longLine + "\r\nBOB\\A\r\n");
    EXPECT_FALSE(dir.exists("vxttemp.tmp"));
    EXPECT_FALSE(catalog.publish("X\\" + std::string(254, 'n'))) << "a line over 255 bytes";
    EXPECT_TRUE(catalog.publish("X\\" + std::string(253, 'n')));

    TempDir empty;
    FileSystem emptyFiles(empty.str());
    EXPECT_FALSE(Catalog(emptyFiles).withdraw("A\\b", Catalog::CONSOLE_TEMP, false));
    EXPECT_FALSE(empty.exists("shared.dat")) << "the console leaves a missing catalog missing";
    EXPECT_TRUE(Catalog(emptyFiles).withdraw("A\\b", Catalog::SERVER_TEMP, true));
    EXPECT_EQ(empty.read("shared.dat"), "");
}

}  // namespace
}  // namespace vextora
