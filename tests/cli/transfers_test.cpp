// The real vextora program moving files: where a download is written, what
// it says when it replaces a file or cannot write one, and many files at
// once with mput and mget.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "cli/cli_fixture.h"

namespace vextora::test {
namespace {

namespace fs = std::filesystem;

const std::optional<std::string> PW = "pw";

std::set<std::string> filesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// BOB, with files in his folder, each shared in the catalog.
class CliTransfers : public CliFixture {
protected:
    void share(const std::string& name, const std::string& content,
               const std::string& owner = "BOB") {
        dir_.write("Users/" + owner + "/" + name, content);
        auto client = loginAs(owner);
        client->setShared(name, true);
        ASSERT_TRUE(client->fileInfo(name)->shared) << name;
    }
};

TEST_F(CliTransfers, DownloadWritesIntoAFifoADeviceAndThroughASymbolicLink) {
    share("report.txt", "the new figures\n");

    // A FIFO gets the bytes; its reader is a thread here.
    const fs::path fifo = work_ / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        int handle = ::open(fifo.c_str(), O_RDONLY);
        char buffer[4096];
        for (ssize_t got; handle >= 0 && (got = ::read(handle, buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<std::size_t>(got));
        if (handle >= 0) ::close(handle);
    });
    CliResult intoFifo = vextora({"get", "BOB\\report.txt", "pipe"});
    // Should the program not have opened the FIFO, this lets the reader go.
    int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) ::close(unblock);
    reader.join();
    EXPECT_EQ(intoFifo.code, 0) << intoFifo.err;
    EXPECT_EQ(intoFifo.out, "downloaded BOB\\report.txt to pipe (16 B)\n");
    EXPECT_EQ(received, "the new figures\n");
    EXPECT_TRUE(fs::is_fifo(fifo)) << "the FIFO is still one";

    // A symbolic link keeps pointing where it did; the file it names changes.
    work_.write("real.txt", "old figures\n");
    fs::create_symlink("real.txt", work_ / "link.txt");
    CliResult throughLink = vextora({"get", "BOB\\report.txt", "link.txt"});
    EXPECT_EQ(throughLink.code, 0) << throughLink.err;
    EXPECT_EQ(throughLink.out, "replaced link.txt with BOB\\report.txt (16 B)\n");
    EXPECT_TRUE(fs::is_symlink(work_ / "link.txt"));
    EXPECT_EQ(work_.read("real.txt"), "the new figures\n");

    fs::create_symlink("nowhere.txt", work_ / "dangling.txt");
    CliResult dangling = vextora({"get", "BOB\\report.txt", "dangling.txt"});
    EXPECT_EQ(dangling.code, 3);
    EXPECT_TRUE(contains(dangling.err, "dangling.txt: it is a symbolic link to a missing file"))
        << dangling.err;
    EXPECT_FALSE(fs::exists(work_ / "nowhere.txt"));

    // As root, `get X /dev/null` must leave the device a device: here one
    // made in the scratch folder stands in for it.
    const fs::path device = work_ / "null";
    if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "device nodes need root; the rest has run";
    CliResult intoDevice = vextora({"get", "BOB\\report.txt", "null"});
    EXPECT_EQ(intoDevice.code, 0) << intoDevice.err;
    EXPECT_EQ(intoDevice.out, "downloaded BOB\\report.txt to null (16 B)\n");
    EXPECT_TRUE(fs::is_character_file(device)) << "still the device, not a file";
    EXPECT_EQ(filesIn(work_.path()),
              (std::set<std::string>{"pipe", "real.txt", "link.txt", "dangling.txt", "null"}))
        << "no hidden file stays behind";
}

TEST_F(CliTransfers, FoldersAreFoldersAndAMissingOneIsRefusedWithTheSystemsReason) {
    share("report.txt", "figures\n");
    work_.write("plain.txt", "a file\n");
    fs::create_directory(work_ / "inbox");
    struct Case {
        std::string destination;
        int code;
        std::string message;  // in stdout for 0, else in stderr
        std::string written;  // the file that must now hold the download
    };
    const std::vector<Case> cases = {
        {"inbox", 0, "downloaded BOB\\report.txt to inbox/report.txt", "inbox/report.txt"},
        {"inbox/", 0, "replaced inbox/report.txt with BOB\\report.txt", "inbox/report.txt"},
        {"Downloads/", 3, "cannot write into Downloads/: No such file or directory", ""},
        {"plain.txt/", 3, "cannot write into plain.txt/: Not a directory", ""},
        {"no/such/x.txt", 3, "cannot write no/such/x.txt: No such file or directory", ""},
        {"renamed.txt", 0, "downloaded BOB\\report.txt to renamed.txt (8 B)", "renamed.txt"},
    };
    for (const auto& c : cases) {
        CliResult run = vextora({"get", "BOB/report.txt", c.destination});
        EXPECT_EQ(run.code, c.code) << c.destination << ": " << run.err;
        EXPECT_TRUE(contains(c.code == 0 ? run.out : run.err, c.message)) << c.destination << ":\n"
                                                                          << run.out << run.err;
        if (!c.written.empty()) {
            EXPECT_EQ(work_.read(c.written), "figures\n") << c.destination;
        }
    }
    EXPECT_FALSE(fs::exists(work_ / "Downloads")) << "a missing folder is not made a file";
    EXPECT_EQ(filesIn(work_.path()), (std::set<std::string>{"plain.txt", "inbox", "renamed.txt"}));
    EXPECT_EQ(filesIn(work_ / "inbox"), std::set<std::string>{"report.txt"});
}

TEST_F(CliTransfers, ReplacingALocalOrRemoteFileIsSaidAndNoClobberRefusesIt) {
    share("report.txt", "the server's report\n");
    work_.write("report.txt", "my own report\n");

    CliResult kept = vextora({"get", "-n", "BOB\\report.txt"});
    EXPECT_EQ(kept.code, 1);
    EXPECT_EQ(kept.err, "vextora: not replacing report.txt: it exists, and -n was given\n");
    EXPECT_EQ(work_.read("report.txt"), "my own report\n");
    CliResult fresh = vextora({"get", "--no-clobber", "BOB\\report.txt", "other.txt"});
    EXPECT_EQ(fresh.code, 0) << "-n does not stop a new file: " << fresh.err;
    CliResult replaced = vextora({"get", "BOB\\report.txt"});
    EXPECT_EQ(replaced.code, 0) << replaced.err;
    EXPECT_EQ(replaced.out, "replaced report.txt with BOB\\report.txt (20 B)\n");
    EXPECT_EQ(work_.read("report.txt"), "the server's report\n");

    work_.write("notes.txt", "local notes\n");
    dir_.write("Users/BOB/notes.txt", "stored notes\n");
    CliResult refused = vextora({"-u", "bob", "put", "-n", "notes.txt"}, PW);
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err,
              "vextora: not replacing notes.txt in your folder: it exists, and -n was given\n");
    EXPECT_EQ(dir_.read("Users/BOB/notes.txt"), "stored notes\n");
    CliResult uploaded = vextora({"-u", "bob", "put", "notes.txt"}, PW);
    EXPECT_EQ(uploaded.code, 0) << uploaded.err;
    EXPECT_EQ(uploaded.out, "replaced notes.txt in your folder with notes.txt (12 B)\n");
    EXPECT_EQ(dir_.read("Users/BOB/notes.txt"), "local notes\n");
    CliResult added = vextora({"-u", "bob", "put", "-n", "notes.txt", "new.txt"}, PW);
    EXPECT_EQ(added.code, 0) << added.err;
    EXPECT_EQ(added.out, "uploaded notes.txt as new.txt (12 B)\n");
    EXPECT_EQ(filesIn(work_.path()),
              (std::set<std::string>{"report.txt", "other.txt", "notes.txt"}));
}

TEST_F(CliTransfers, BinaryDataReachesATerminalOnlyWhenAskedButTextDoes) {
    share("notes.txt", "plain text\n");
    share("image.bin", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {{"get", "BOB\\image.bin", "-"},
         2,
         "BOB\\image.bin holds binary data, which would drive the terminal; give a DEST, "
         "redirect the output, or add --terminal"},
        {{"get", "BOB\\notes.txt", "-"}, 0, "plain text"},
        {{"get", "--terminal", "BOB\\image.bin", "-"}, 0, "IHDR"},
    };
    for (const auto& c : cases) {
        CliProcess run;
        ASSERT_TRUE(run.start(withPorts(c.args), options(), CliProcess::Streams::Terminal));
        EXPECT_EQ(run.wait(10000), c.code) << c.args[1] << ": " << run.out();
        EXPECT_TRUE(contains(run.out(), c.shown)) << c.args[1] << ": " << run.out();
        if (c.code != 0) {
            EXPECT_FALSE(contains(run.out(), "IHDR")) << "nothing of it was written";
        }
    }
    CliResult piped = vextora({"get", "BOB\\image.bin", "-"});
    EXPECT_EQ(piped.code, 0) << "a pipe takes any bytes";
    EXPECT_EQ(piped.out.size(), 16u);
}

TEST_F(CliTransfers, AFullDiskIsNamedAndLeavesNothingBehind) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    share("big.bin", std::string(256 * 1024, 'x'));
    fs::create_directory(work_ / "small");
    // The program alone sees a 64 KiB file system on small/.
    CliOptions run = options();
    run.wrapper = {"/usr/bin/unshare",
                   "-m",
                   "--propagation",
                   "private",
                   "/bin/sh",
                   "-c",
                   "mount -t tmpfs -o size=64k tmpfs \"$0\" && exec \"$@\"",
                   (work_ / "small").string()};
    CliResult full = runCli(withPorts({"get", "BOB\\big.bin", "small/"}), run);
    ASSERT_NE(full.code, 1) << "the mount failed: " << full.err;
    EXPECT_EQ(full.code, 3) << full.out << full.err;
    EXPECT_TRUE(contains(full.err, "vextora: cannot write small/big.bin: No space left on device"))
        << full.err;
    EXPECT_TRUE(fs::is_empty(work_ / "small"));
}

TEST_F(CliTransfers, PutRefusesToStoreOneLocalFileUnderAnothersName) {
    createAccount("bob");
    work_.write("alpha.pdf", "alpha");
    work_.write("beta.pdf", "beta");
    // What `vextora -u bob put *.pdf` becomes when the wildcard matches two.
    CliResult run = vextora({"-u", "bob", "put", "alpha.pdf", "beta.pdf"}, PW);
    EXPECT_EQ(run.code, 2);
    EXPECT_TRUE(contains(run.err, "beta.pdf is a local file too (did a wildcard match two files?)"))
        << run.err;
    EXPECT_TRUE(contains(run.err, "'mput alpha.pdf beta.pdf' uploads both")) << run.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "Users/BOB")) << "nothing was uploaded";
}

TEST_F(CliTransfers, MgetFetchesEveryMatchAndRefusesTwoFilesOfOneName) {
    share("a.pdf", "bob a");
    share("b.pdf", "bob b");
    share("notes.txt", "bob notes");
    share("c.pdf", "alice c", "ALICE");
    share("a.pdf", "alice a", "ALICE");

    CliResult bobs = vextora({"mget", "BOB/*.pdf"});
    EXPECT_EQ(bobs.code, 0) << bobs.err;
    EXPECT_EQ(bobs.out,
              "downloaded BOB\\a.pdf to a.pdf (5 B)\n"
              "downloaded BOB\\b.pdf to b.pdf (5 B)\n"
              "downloaded 2 of 2 files\n");

    fs::create_directory(work_ / "inbox");
    CliResult every = vextora({"mget", "-O", "inbox", "*.pdf", "nothing*", "BOB/notes.txt"});
    EXPECT_EQ(every.code, 1) << "the last failure: nothing matched 'nothing*'";
    EXPECT_EQ(every.err,
              "vextora: skipped ALICE\\a.pdf: BOB\\a.pdf goes to a.pdf already\n"
              "vextora: no catalog line matches nothing*\n");
    EXPECT_EQ(filesIn(work_ / "inbox"),
              (std::set<std::string>{"a.pdf", "b.pdf", "c.pdf", "notes.txt"}));
    EXPECT_EQ(work_.read("inbox/a.pdf"), "bob a");
    EXPECT_EQ(work_.read("inbox/c.pdf"), "alice c");
    EXPECT_TRUE(contains(every.out, "downloaded 4 of 4 files")) << every.out;

    CliResult skipped = vextora({"mget", "-n", "BOB/*.pdf"});
    EXPECT_EQ(skipped.code, 1);
    EXPECT_TRUE(contains(skipped.err, "not replacing a.pdf: it exists, and -n was given"));
    EXPECT_TRUE(contains(skipped.out, "downloaded 0 of 2 files")) << skipped.out;

    CliResult own = vextora({"-u", "alice", "mget", "--own", "-O", "mine/", "*"}, PW);
    EXPECT_EQ(own.code, 3);
    EXPECT_TRUE(contains(own.err, "cannot write into mine/: No such file or directory")) << own.err;
    fs::create_directory(work_ / "mine");
    own = vextora({"-u", "alice", "mget", "--own", "-O", "mine/", "*"}, PW);
    EXPECT_EQ(own.code, 0) << own.err;
    EXPECT_EQ(filesIn(work_ / "mine"), (std::set<std::string>{"a.pdf", "c.pdf"}));
}

TEST_F(CliTransfers, MputUploadsWildcardsAndFolderTreesAndSaysWhatItCannotCarry) {
    createAccount("bob");
    work_.write("one.pdf", "1");
    work_.write("two.pdf", "22");
    work_.write("skip.txt", "no");
    fs::create_directories(work_ / "tree/docs");
    fs::create_directories(work_ / "tree/missing");
    work_.write("tree/top.txt", "top");
    work_.write("tree/docs/inner.txt", "inner");
    work_.write("tree/missing/lost.txt", "lost");
    fs::create_directory(dir_ / "Users/BOB/docs");

    // Quoted, as inside the shell: the program expands the wildcard itself.
    CliResult pdfs = vextora({"-u", "bob", "mput", "*.pdf"}, PW);
    EXPECT_EQ(pdfs.code, 0) << pdfs.err;
    EXPECT_EQ(pdfs.out,
              "uploaded one.pdf as one.pdf (1 B)\n"
              "uploaded two.pdf as two.pdf (2 B)\n"
              "uploaded 2 of 2 files\n");

    CliResult noTree = vextora({"-u", "bob", "mput", "tree"}, PW);
    EXPECT_EQ(noTree.code, 2);
    EXPECT_TRUE(contains(noTree.err, "skipped tree: a folder ('mput -r' uploads it)"));

    CliResult tree = vextora({"-u", "bob", "mput", "-r", "tree", "*.none"}, PW);
    EXPECT_EQ(tree.code, 1) << "the last failure: the server has no folder 'missing'";
    EXPECT_TRUE(contains(tree.err, "vextora: no local file matches *.none\n")) << tree.err;
    EXPECT_TRUE(contains(tree.err,
                         "cannot upload tree/missing/lost.txt as missing/lost.txt: "
                         "your folder has no folder missing, and the server creates "
                         "none"))
        << tree.err;
    EXPECT_TRUE(contains(tree.out, "uploaded tree/docs/inner.txt as docs/inner.txt (5 B)"));
    EXPECT_TRUE(contains(tree.out, "uploaded 2 of 3 files")) << tree.out;
    EXPECT_EQ(dir_.read("Users/BOB/top.txt"), "top");
    EXPECT_EQ(dir_.read("Users/BOB/docs/inner.txt"), "inner");
    EXPECT_FALSE(dir_.exists("Users/BOB/lost.txt"));

    CliResult again = vextora({"-u", "bob", "mput", "-n", "one.pdf", "skip.txt"}, PW);
    EXPECT_EQ(again.code, 1);
    EXPECT_TRUE(contains(again.err, "not replacing one.pdf in your folder")) << again.err;
    EXPECT_EQ(dir_.read("Users/BOB/skip.txt"), "no") << "the rest went on";
}

TEST_F(CliTransfers, RefusalsNameTheOneCauseThatApplies) {
    createAccount("bob");
    work_.write("notes.txt", "notes");
    dir_.write("Users/BOB/kept.txt", "kept");
    fs::create_directory(dir_ / "Users/BOB/sub");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"put", "notes.txt", "line\nend.txt"},
         2,
         "cannot upload notes.txt as line?end.txt: the name holds a control character (shown as "
         "?), such as a line end or a tab"},
        {{"put", "notes.txt", "nosub/notes.txt"},
         1,
         "cannot upload notes.txt as nosub/notes.txt: your folder has no folder nosub, and the "
         "server creates none"},
        {{"put", "notes.txt", "sub"}, 1, "as sub: your folder has a folder of that name"},
        {{"put", "notes.txt", ".vxtpart-x"}, 2, "names beginning with .vxtpart- are the server's"},
        {{"put", "missing.txt"}, 3, "cannot read missing.txt: No such file or directory"},
        {{"mv", "kept.txt", "tab\there"}, 2, "the name holds a control character"},
        {{"mv", "kept.txt", "sub"},
         1,
         "cannot rename kept.txt: sub exists, and a rename never "
         "replaces"},
        {{"mv", "kept.txt", "nosub/kept.txt"}, 1, "your folder has no folder nosub"},
        {{"rm", "sub"}, 1, "cannot delete sub: it is a folder, and folders cannot be deleted"},
        {{"rm", "nothing.txt"}, 1, "cannot delete nothing.txt: no such file in your folder"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-u", "bob"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliResult run = vextora(args, PW);
        EXPECT_EQ(run.code, c.code) << c.args[0] << " " << c.args.back() << ": " << run.err;
        EXPECT_TRUE(contains(run.err, c.err)) << c.args[0] << " " << c.args.back() << ":\n"
                                              << run.err;
    }
    EXPECT_EQ(filesIn(dir_ / "Users/BOB"), (std::set<std::string>{"kept.txt", "sub"}));

    CliResult ipv6 = runCli({"-H", "::1", "catalog"}, options());
    EXPECT_EQ(ipv6.code, 2);
    EXPECT_TRUE(contains(ipv6.err, "'::1' is an IPv6 address; the client speaks IPv4 only"))
        << ipv6.err;
}

}  // namespace
}  // namespace vextora::test
