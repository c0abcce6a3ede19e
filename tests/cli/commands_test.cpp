// The real vextora program, one command per run and scripted shells, against
// an in-process server on free ports.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "cli/cli_fixture.h"

namespace vextora::test {
namespace {

namespace fs = std::filesystem;

const std::optional<std::string> PW = "pw";
const std::optional<std::string> NONE = std::nullopt;
const std::optional<std::string> EMPTY = "";  // the administrator's, with no adminpass.cfg

std::set<std::string> filesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

class CliCommands : public CliFixture {};

TEST_F(CliCommands, EveryCommandSucceedsOrSaysWhyWithItsExitCode) {
    work_.write("notes.txt", "hello world\n");
    struct Step {
        std::vector<std::string> args;
        std::optional<std::string> password;
        int code;
        std::string out;  // must be in stdout
        std::string err;  // must be in stderr; empty: stderr must be empty
    };
    const std::string longName(256, 'x');
    const std::vector<Step> steps = {
        {{"register", "bob"}, PW, 0, "registered BOB\n", ""},
        {{"register", "Bob"}, PW, 1, "", "cannot register BOB: the name is taken"},
        {{"register", "guest"}, PW, 1, "", "cannot register GUEST: name refused"},
        {{"register", "a/b"}, PW, 1, "", "cannot register A/B: name refused"},
        {{"ls"}, PW, 2, "", "'ls' needs a login: add -u NAME"},
        {{"-u", "bob", "ls"}, "wrong", 1, "", "login as BOB failed: bad password"},
        {{"-u", "carol", "ls"}, PW, 1, "", "login as CAROL failed: no such account"},
        {{"-u", "bob", "put", "notes.txt"}, PW, 0, "uploaded notes.txt as notes.txt (12 B)\n", ""},
        {{"-u", "bob", "put", "missing.txt"}, PW, 3, "", "cannot read missing.txt"},
        {{"-u", "bob", "put", "notes.txt", "../escape.txt"}, PW, 2, "", "a '..' part would leave"},
        {{"-u", "guest", "put", "notes.txt"}, NONE, 1, "", "GUEST has no folder of its own"},
        {{"-u", "bob", "ls", "-l"}, PW, 0, "          12          notes.txt\n", ""},
        {{"-u", "bob", "info", "notes.txt"}, PW, 0, "notes.txt: 12 bytes, not shared\n", ""},
        {{"-u", "bob", "info", "nope"}, PW, 1, "", "not a file in your folder: nope"},
        {{"-u", "bob", "share", "nope"}, PW, 1, "", "not a file in your folder: nope"},
        {{"-u", "bob", "share", "notes.txt"}, PW, 0, "shared notes.txt as BOB\\notes.txt\n", ""},
        {{"-u", "bob", "share", "notes.txt"}, PW, 0, "is already shared as BOB\\notes.txt", ""},
        {{"-u", "bob", "ls", "-l"}, PW, 0, "          12  shared  notes.txt\n", ""},
        {{"catalog"}, NONE, 0, "BOB\\notes.txt\n", ""},
        {{"get", "BOB\\notes.txt", "copy.txt"},
         NONE,
         0,
         "downloaded BOB\\notes.txt to copy.txt (12 B)\n",
         ""},
        {{"get", "BOB/notes.txt", "-"}, NONE, 0, "hello world\n", ""},
        {{"get", "notes.txt"},
         NONE,
         1,
         "",
         "not in the catalog: notes.txt (did you mean BOB\\notes.txt?)"},
        {{"get", "--own", "notes.txt"}, NONE, 2, "", "'get' needs a login"},
        {{"-u", "bob", "get", "--own", "notes.txt", "own.txt"},
         PW,
         0,
         "downloaded notes.txt to own.txt",
         ""},
        {{"-u", "bob", "get", "--own", "nope"},
         PW,
         1,
         "",
         "file not available: nope (no such file in your folder)"},
        {{"-u", "bob", "mv", "notes.txt", "moved.txt"},
         PW,
         0,
         "renamed notes.txt to moved.txt\n",
         "note: the catalog still lists BOB\\notes.txt; 'unshare notes.txt' removes that line"},
        {{"-u", "bob", "mv", "nope", "x"},
         PW,
         1,
         "",
         "cannot rename nope: no such file in your folder"},
        {{"get", "BOB\\notes.txt"},
         NONE,
         1,
         "",
         "file not available: BOB\\notes.txt (its owner may have moved or deleted it)"},
        {{"-u", "bob", "unshare", "notes.txt"}, PW, 0, "unshared notes.txt\n", ""},
        {{"-u", "bob", "unshare", "notes.txt"}, PW, 0, "notes.txt is not shared\n", ""},
        {{"-u", "bob", "rm", "moved.txt"}, PW, 0, "deleted moved.txt\n", ""},
        {{"-u", "bob", "rm", "moved.txt"}, PW, 1, "", "cannot delete moved.txt: no such file"},
        {{"-u", "bob", "rm", "../../users.dat"}, PW, 1, "", "no such file"},
        {{"-u", "bob", "rm", longName}, PW, 2, "", "longer than 255 bytes"},
        {{"users"}, NONE, 2, "", "'users' is for the administrator: add -u ADMIN"},
        {{"-u", "bob", "users"}, PW, 1, "", "administrator only"},
        {{"-u", "bob", "stop"}, PW, 1, "", "cannot stop the server: administrator only"},
        {{"-u", "admin", "users"}, "wrong", 1, "", "login as ADMIN failed: bad password"},
        {{"-u", "admin", "users"}, EMPTY, 0, "ADMIN\n", ""},
        {{"-u", "admin", "whois", "admin"},
         EMPTY,
         0,
         "name:       ADMIN\naddress:    127.0.0.1\n",
         ""},
        {{"-u", "admin", "whois", "bob"}, EMPTY, 1, "", "BOB: no such user"},
        {{"-u", "admin", "kick", "nobody"}, EMPTY, 1, "", "cannot kick NOBODY: no such user"},
        {{"-u", "admin", "kick", "admin"}, EMPTY, 1, "", "cannot kick ADMIN: cannot kick yourself"},
        {{"frobnicate"}, NONE, 2, "", "unknown command 'frobnicate'"},
        {{"mv", "a"}, NONE, 2, "", "usage: mv OLD NEW"},
        {{"-u", "bob", "put", "-"}, PW, 2, "", "put - needs the NAME"},
        {{"--password", "pw", "ls"}, NONE, 2, "", "never given as arguments"},
        {{"login", "bob"}, NONE, 2, "", "works only inside 'vextora shell'"},
        {{"-u", "bob", "ls"}, NONE, 2, "", "no terminal to ask on"},
        {{"register", "dave"}, NONE, 2, "", "no terminal to ask on"},
    };
    for (const auto& step : steps) {
        std::string line;
        for (const auto& arg : step.args) line += arg.size() > 40 ? " (long)" : " " + arg;
        CliResult run = vextora(step.args, step.password);
        EXPECT_EQ(run.code, step.code) << line << "\n" << run.out << run.err;
        EXPECT_NE(run.out.find(step.out), std::string::npos) << line << "\nstdout: " << run.out;
        if (step.err.empty()) {
            // Also: no progress bar when stderr is not a terminal.
            EXPECT_EQ(run.err, "") << line;
        } else {
            EXPECT_NE(run.err.find(step.err), std::string::npos) << line << "\nstderr: " << run.err;
        }
    }
    EXPECT_EQ(work_.read("copy.txt"), "hello world\n");
    EXPECT_EQ(work_.read("own.txt"), "hello world\n");
    EXPECT_EQ(filesIn(work_.path()), (std::set<std::string>{"notes.txt", "copy.txt", "own.txt"}))
        << "no temporary or partial file stays behind";
    EXPECT_FALSE(dir_.exists("Users/escape.txt"));
    EXPECT_FALSE(dir_.exists("shared.dat") && dir_.read("shared.dat") != "")
        << "every line was withdrawn";
}

TEST_F(CliCommands, QuietRunsPrintOnlyData) {
    work_.write("notes.txt", "hello\n");
    createAccount("bob");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-q", "-u", "bob", "put", "notes.txt"},
                                               {"-q", "-u", "bob", "share", "notes.txt"},
                                               {"-q", "get", "BOB\\notes.txt", "copy.txt"},
                                               {"-q", "-u", "bob", "rm", "notes.txt"}}) {
        CliResult run = vextora(args, PW);
        EXPECT_EQ(run.code, 0) << args[3] << run.err;
        EXPECT_EQ(run.out, "") << args[3];
    }
    EXPECT_EQ(vextora({"-q", "catalog"}).out, "BOB\\notes.txt\n");
}

TEST_F(CliCommands, StandardInputAndOutputCarryWholeFiles) {
    createAccount("bob");
    writeRandomFile(local("data.bin"), 5 * 1024 * 1024 + 17);
    std::string data = work_.read("data.bin");

    CliResult put = vextora({"-u", "bob", "put", "-", "from-input.bin"}, PW, data);
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_EQ(put.out, "uploaded standard input as from-input.bin (5.0 MiB)\n");
    EXPECT_EQ(dir_.read("Users/BOB/from-input.bin"), data);

    CliResult own = vextora({"-u", "bob", "get", "--own", "from-input.bin", "-"}, PW);
    ASSERT_EQ(own.code, 0) << own.err;
    EXPECT_TRUE(own.out == data) << "got " << own.out.size() << " bytes";

    ASSERT_EQ(vextora({"-u", "bob", "share", "from-input.bin"}, PW).code, 0);
    CliResult shared = vextora({"get", "BOB\\from-input.bin", "-"});
    ASSERT_EQ(shared.code, 0) << shared.err;
    EXPECT_TRUE(shared.out == data);

    CliResult empty = vextora({"-u", "bob", "put", "-", "empty.bin"}, PW, "");
    EXPECT_EQ(empty.code, 0) << empty.err;
    EXPECT_TRUE(dir_.exists("Users/BOB/empty.bin"));
    EXPECT_EQ(dir_.read("Users/BOB/empty.bin"), "");
}

TEST_F(CliCommands, DestinationIsAFileAFolderOrAnEarlierFileKeptOnFailure) {
    createAccount("bob");
    dir_.write("Users/BOB/report.txt", "new report\n");
    ASSERT_EQ(vextora({"-u", "bob", "share", "report.txt"}, PW).code, 0);
    fs::create_directory(work_ / "inbox");

    EXPECT_EQ(vextora({"get", "BOB\\report.txt", "inbox"}).code, 0);
    EXPECT_EQ(work_.read("inbox/report.txt"), "new report\n");
    EXPECT_EQ(vextora({"get", "BOB\\report.txt"}).code, 0);
    EXPECT_EQ(work_.read("report.txt"), "new report\n");

    work_.write("kept.txt", "earlier content\n");
    fs::remove(dir_ / "Users/BOB/report.txt");
    auto started = std::chrono::steady_clock::now();
    CliResult missing = vextora({"get", "BOB\\report.txt", "kept.txt"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("file not available"), std::string::npos) << missing.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
        << "a download announced as unavailable is cancelled at once, not waited for";
    EXPECT_EQ(work_.read("kept.txt"), "earlier content\n");

    dir_.write("Users/BOB/report.txt", "back\n");
    CliResult noFolder = vextora({"get", "BOB\\report.txt", "no/such/folder/x.txt"});
    EXPECT_EQ(noFolder.code, 3);
    EXPECT_NE(noFolder.err.find("cannot write no/such/folder/x.txt"), std::string::npos);
    EXPECT_EQ(filesIn(work_.path()), (std::set<std::string>{"inbox", "report.txt", "kept.txt"}));
}

TEST_F(CliCommands, PasswordsComeFromAFileTheEnvironmentOrNowhere) {
    createAccount("bob", "s3cret");
    work_.write("pw.txt", "s3cret\r\nsecond line\n");
    work_.write("wrong.txt", "nope\n");
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> environment;
        int code;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--password-file", "pw.txt", "-u", "bob", "ls"}, NONE, 0, ""},
        {{"--password-file=pw.txt", "-u", "bob", "ls"}, "wrong", 0, ""},
        {{"--password-file", "wrong.txt", "-u", "bob", "ls"}, "s3cret", 1, "bad password"},
        {{"--password-file", "missing.txt", "-u", "bob", "ls"},
         NONE,
         2,
         "cannot read the password file missing.txt"},
        {{"-u", "bob", "ls"}, "s3cret", 0, ""},
        {{"-u", "bob", "ls"}, NONE, 2, "use --password-file FILE or the environment variable"},
        {{"-u", "guest", "get", "SOMEONE\\x"}, NONE, 1, "not in the catalog"},
    };
    for (const auto& c : cases) {
        CliResult run = vextora(c.args, c.environment);
        EXPECT_EQ(run.code, c.code) << c.args[1] << ": " << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
}

TEST_F(CliCommands, HelpVersionAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "Usage: vextora [OPTIONS] COMMAND", ""},
        {{"help"}, 0, "Exit status: 0 done; 1 refused", ""},
        {{"help", "put"},
         0,
         "Usage: vextora [OPTIONS] put [-n] [--limit-rate RATE] FILE|- [NAME]",
         ""},
        {{"put", "--help"}, 0, "Usage: vextora [OPTIONS] put", ""},
        {{"get", "-h"}, 0, "Ctrl+C cancels", ""},
        {{"help", "login"}, 0, "Logs in as NAME", ""},
        {{"help", "nope"}, 2, "", "no command 'nope'"},
        {{}, 2, "", "Usage: vextora"},
        {{"--version"}, 0, "vextora 1.", ""},
    };
    for (const auto& c : cases) {
        CliResult run = runCli(c.args, options());
        std::string name = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(run.code, c.code) << name;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << name << ": " << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << name << ": " << run.err;
    }
}

TEST_F(CliCommands, UnreachableServerIsAConnectionFailure) {
    // Nothing listens on port 1 of the loopback address.
    CliResult run = runCli({"-p", "1", "catalog"}, options());
    EXPECT_EQ(run.code, 3);
    EXPECT_NE(run.err.find("cannot connect to 127.0.0.1 port 1"), std::string::npos) << run.err;
}

TEST_F(CliCommands, AdministratorSeesKicksAndStops) {
    auto bob = loginAs("BOB");
    CliResult users = vextora({"-u", "admin", "users"}, EMPTY);
    EXPECT_EQ(users.out, "BOB\nADMIN\n");
    CliResult whois = vextora({"-u", "admin", "whois", "bob"}, EMPTY);
    EXPECT_EQ(whois.code, 0);
    EXPECT_NE(whois.out.find("address:    127.0.0.1\n"), std::string::npos) << whois.out;
    EXPECT_NE(whois.out.find("shared:     0 files\ntransfer:   none\n"), std::string::npos);

    CliResult kick = vextora({"-u", "admin", "kick", "bob"}, EMPTY);
    EXPECT_EQ(kick.code, 0) << kick.err;
    EXPECT_EQ(kick.out, "disconnected BOB\n");
    EXPECT_EQ(bob->connection().readByte(), REPLY_CLOSING);
    EXPECT_TRUE(eventually([&] { return bob->connection().closedByPeer(); }));

    CliResult stop = vextora({"-u", "admin", "stop"}, EMPTY);
    EXPECT_EQ(stop.code, 0) << stop.err;
    EXPECT_EQ(stop.out, "the server is stopping\n");
    EXPECT_TRUE(eventually([&] { return server_->stopping(); }));
}

TEST_F(CliCommands, CtrlCWhileAPutWaitsOnAQuietPipeCancelsTheUpload) {
    createAccount("bob");
    dir_.write("Users/BOB/log.txt", "earlier\n");
    CliProcess put;
    ASSERT_TRUE(put.start(withPorts({"-u", "bob", "put", "-", "log.txt"}), options(PW)));
    ASSERT_TRUE(put.write(std::string(100000, 'p')));  // then the pipe stays open and quiet
    auto admin = loginAs("ADMIN", "");
    ASSERT_TRUE(eventually(
        [&] {
            auto info = admin->userInfo("BOB");
            return info && info->direction == DIRECTION_TO_SERVER && info->transferDone == 100000;
        },
        10000))
        << "the upload never started";
    put.signal(SIGINT);
    EXPECT_EQ(put.wait(10000), 130);
    EXPECT_EQ(put.err(), "vextora: upload cancelled; the server dropped what it had received\n");
    EXPECT_EQ(dir_.read("Users/BOB/log.txt"), "earlier\n") << "the earlier file stays";
    EXPECT_EQ(filesIn(dir_ / "Users/BOB"), std::set<std::string>{"log.txt"});
}

class CliShell : public CliFixture {};

TEST_F(CliShell, ScriptedSessionRunsEveryLineAndEndsWithTheLastFailure) {
    work_.write("notes.txt", "hello world\n");
    createAccount("bob");
    const std::string script =
        "# a scripted session\n"
        "login bob\n"
        "put notes.txt a.txt\n"
        "ls\n"
        "\n"
        "share a.txt\n"
        "catalog\n"
        "get \"BOB\\a.txt\" fetched.txt\n"
        "mv a.txt \"b c.txt\"\n"
        "ls -l\r\n"
        "info 'b c.txt'\n"
        "-bogus\n"
        "-get \"unclosed\n"
        "-put - x\n"
        "logout\n"
        "-ls\n"
        "login guest\n"
        "-get BOB/a.txt\n"
        "quit\n"
        "ls\n";
    CliResult run = vextora({"shell"}, PW, script);
    EXPECT_EQ(run.out,
              "logged in as BOB\n"
              "uploaded notes.txt as a.txt (12 B)\n"
              "a.txt\n"
              "shared a.txt as BOB\\a.txt\n"
              "BOB\\a.txt\n"
              "downloaded BOB\\a.txt to fetched.txt (12 B)\n"
              "renamed a.txt to b c.txt\n"
              "          12          b c.txt\n"
              "b c.txt: 12 bytes, not shared\n"
              "logged out\n"
              "logged in as GUEST\n");
    EXPECT_EQ(run.err,
              "note: the catalog still lists BOB\\a.txt; 'unshare a.txt' removes that line\n"
              "unknown command 'bogus'; 'help' lists the commands\n"
              "unclosed \" quote\n"
              "put - is not available in the shell: its input carries the commands\n"
              "not logged in: 'login NAME' first (GUEST needs no password)\n"
              "file not available: BOB\\a.txt (its owner may have moved or deleted it)\n");
    EXPECT_EQ(run.code, 1) << "the last failure: the file is not available";
    EXPECT_EQ(work_.read("fetched.txt"), "hello world\n");
}

TEST_F(CliShell, ScriptWithoutFailuresEndsWithZeroAtTheEndOfInput) {
    CliResult run = vextora({"-u", "guest", "shell"}, NONE, "catalog\nhelp\nhelp get\n");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out.rfind("logged in as GUEST\nCommands", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("Usage: get [--own]"), std::string::npos);
    EXPECT_EQ(run.out.find("Usage: vextora"), std::string::npos) << "shell help has no options";
    EXPECT_EQ(run.err, "");
}

TEST_F(CliShell, KickedShellSaysSoAndEndsWithAConnectionFailure) {
    createAccount("bob");
    CliProcess shell;
    ASSERT_TRUE(shell.start(withPorts({"-u", "bob", "shell"}), options(PW)));
    ASSERT_TRUE(shell.waitFor("logged in as BOB\n")) << shell.out() << shell.err();
    auto admin = loginAs("ADMIN", "");
    ASSERT_TRUE(admin->kick("BOB").ok());
    shell.write("ls\n");
    EXPECT_TRUE(shell.waitFor("the server closed the connection", 10000, true)) << shell.err();
    EXPECT_EQ(shell.wait(10000), 3);
}

TEST_F(CliShell, CtrlCCancelsTheDownloadLeavesNoFileAndTheSessionGoesOn) {
    createAccount("bob");
    writeRandomFile((dir_ / "Users/BOB/big.bin").string(), 32 * 1024 * 1024);
    CliProcess shell;
    ASSERT_TRUE(shell.start(withPorts({"-u", "bob", "shell"}), options(PW)));
    ASSERT_TRUE(shell.waitFor("logged in as BOB\n"));
    // At 1 MiB a second the 32 MiB take half a minute: the Ctrl+C comes first.
    shell.write("get --own --limit-rate 1M big.bin out.bin\n");

    auto admin = loginAs("ADMIN", "");
    ASSERT_TRUE(eventually(
        [&] {
            auto info = admin->userInfo("BOB");
            return info && info->direction == DIRECTION_TO_CLIENT && info->transferDone > 0;
        },
        10000))
        << "the download never started";
    shell.signal(SIGINT);
    EXPECT_TRUE(shell.waitFor("download cancelled; nothing was stored", 10000, true))
        << shell.err();

    // The server took the cancel: the session reads requests again at once.
    shell.write("ls\nquit\n");
    shell.closeInput();
    EXPECT_EQ(shell.wait(10000), 130) << "the last failure: the cancel";
    EXPECT_EQ(shell.out(), "logged in as BOB\nbig.bin\n");
    EXPECT_EQ(filesIn(work_.path()), std::set<std::string>{}) << "no partial or temporary file";
    EXPECT_TRUE(eventually([&] { return !admin->userInfo("BOB"); })) << "the shell quit";
}

}  // namespace
}  // namespace vextora::test
