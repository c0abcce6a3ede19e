// The real vextora program on a pseudo-terminal of its own: password prompts,
// the progress bar, and the interactive shell.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <regex>

#include "cli/cli_fixture.h"

namespace vextora::test {
namespace {

namespace fs = std::filesystem;

using Streams = CliProcess::Streams;

class CliTerminal : public CliFixture {};

TEST_F(CliTerminal, PasswordPromptDoesNotEchoWhatIsTyped) {
    createAccount("bob", "typed-secret");
    dir_.write("Users/BOB/a.txt", "x");
    CliProcess run;
    ASSERT_TRUE(run.start(withPorts({"-u", "bob", "ls"}), options(), Streams::Terminal));
    ASSERT_TRUE(run.waitFor("Password for BOB: ")) << run.out();
    run.write("typed-secret\r");
    EXPECT_EQ(run.wait(10000), 0) << run.out();
    EXPECT_EQ(run.out().find("typed-secret"), std::string::npos) << run.out();
    EXPECT_NE(run.out().find("a.txt"), std::string::npos) << run.out();
}

TEST_F(CliTerminal, NamesCannotSendEscapeSequencesToATerminalButScriptsGetThemWhole) {
    createAccount("bob");
    const std::string hostile = "clear\x1b[2J\x1b]0;owned\x07.txt";
    dir_.write("Users/BOB/" + hostile, "x");
    ASSERT_EQ(vextora({"-u", "bob", "share", hostile}, "pw").code, 0);

    CliProcess onTerminal;
    ASSERT_TRUE(onTerminal.start(withPorts({"catalog"}), options(), Streams::Terminal));
    EXPECT_EQ(onTerminal.wait(10000), 0);
    EXPECT_NE(onTerminal.out().find("BOB\\clear?[2J?]0;owned?.txt"), std::string::npos)
        << onTerminal.out();
    EXPECT_EQ(onTerminal.out().find('\x1b'), std::string::npos);

    EXPECT_EQ(vextora({"catalog"}).out, "BOB\\" + hostile + "\n") << "a pipe gets the bytes";
}

TEST_F(CliTerminal, RegisterAsksTwiceAndAMismatchRegistersNothing) {
    for (const char* second : {"other\r", "chosen\r"}) {
        CliProcess run;
        ASSERT_TRUE(run.start(withPorts({"register", "carol"}), options(), Streams::Terminal));
        ASSERT_TRUE(run.waitFor("Password for the new account CAROL: ")) << run.out();
        run.write("chosen\r");
        ASSERT_TRUE(run.waitFor("Repeat the password: ")) << run.out();
        run.write(second);
        bool same = std::string(second) == "chosen\r";
        EXPECT_EQ(run.wait(10000), same ? 0 : 2) << run.out();
        EXPECT_NE(run.out().find(same ? "registered CAROL" : "the two passwords differ"),
                  std::string::npos)
            << run.out();
        EXPECT_EQ(run.out().find("chosen"), std::string::npos) << "no echo";
        auto client = connect();
        EXPECT_EQ(client->login("carol", "chosen").ok(), same);
    }
}

TEST_F(CliTerminal, ProgressBarOnlyWhenStandardErrorIsATerminal) {
    createAccount("bob");
    writeRandomFile((dir_ / "Users/BOB/big.bin").string(), 8 * 1024 * 1024);
    const std::vector<std::string> args = {"-u",           "bob", "get",     "--own",
                                           "--limit-rate", "16M", "big.bin", "copy.bin"};
    CliProcess onTerminal;
    ASSERT_TRUE(onTerminal.start(withPorts(args), options("pw"), Streams::Terminal));
    EXPECT_EQ(onTerminal.wait(20000), 0) << onTerminal.out();
    const std::string& shown = onTerminal.out();
    for (const char* piece : {"copy.bin", "100% [", "8.0 MiB /    8.0 MiB", "MiB/s", " left",
                              "in 0:", "downloaded big.bin to copy.bin (8.0 MiB)"})
        EXPECT_NE(shown.find(piece), std::string::npos) << piece << " missing from:\n" << shown;
    EXPECT_GE(std::count(shown.begin(), shown.end(), '\r'), 3) << "redrawn in place";

    fs::remove(work_ / "copy.bin");  // a replaced file is confirmed otherwise
    CliResult piped = vextora(args, "pw");
    EXPECT_EQ(piped.code, 0);
    EXPECT_EQ(piped.err, "") << "no bar when stderr is not a terminal";
    EXPECT_EQ(piped.out, "downloaded big.bin to copy.bin (8.0 MiB)\n");
}

TEST_F(CliTerminal, InteractiveShellCompletesRemembersAndSurvivesCtrlC) {
    createAccount("bob");
    CliProcess shell;
    CliOptions utf8 = options("pw");
    utf8.variables["LANG"] = "C.UTF-8";
    ASSERT_TRUE(shell.start(withPorts({"shell"}), utf8, Streams::Terminal));
    ASSERT_TRUE(shell.waitFor("'quit' leaves.")) << shell.out();
    ASSERT_TRUE(shell.waitFor("vextora> ")) << shell.out();

    std::size_t mark = shell.out().size();
    shell.write("logi\t");  // Tab completes the command word
    ASSERT_TRUE(shell.waitFor("n ", 5000, false, mark)) << shell.out().substr(mark);
    shell.write("bob\r");
    ASSERT_TRUE(shell.waitFor("vextora BOB> ", 5000, false, mark)) << shell.out().substr(mark);

    mark = shell.out().size();
    shell.write("rm everything\x03");  // Ctrl+C drops the typed line
    ASSERT_TRUE(shell.waitFor("vextora BOB> ", 5000, false, mark)) << shell.out().substr(mark);

    mark = shell.out().size();
    shell.write("ls\r");
    ASSERT_TRUE(shell.waitFor("vextora BOB> ", 5000, false, mark));
    EXPECT_EQ(shell.out().find("no such file", mark), std::string::npos) << "the rm never ran";

    mark = shell.out().size();
    shell.write("info caf\xc3\xa9.txt\r");  // typed in the terminal's character set
    ASSERT_TRUE(shell.waitFor("not a file in your folder: caf\xc3\xa9.txt", 5000, false, mark))
        << shell.out().substr(mark);

    mark = shell.out().size();
    shell.write("\x1b[A\x1b[A");  // the up arrow walks back through the history
    ASSERT_TRUE(shell.waitFor("ls", 5000, false, mark)) << shell.out().substr(mark);

    shell.write("\x15\x04");  // Ctrl+U clears it, Ctrl+D on an empty line leaves
    EXPECT_EQ(shell.wait(10000), 1) << "the last failure, the info\n" << shell.out();
}

TEST_F(CliTerminal, CancelledTransferEndsOnACancelledFrameAndWhoisSharesTheBarsUnits) {
    createAccount("bob");
    writeRandomFile((dir_ / "Users/BOB/big.bin").string(), 16 * 1024 * 1024);
    CliProcess get;
    ASSERT_TRUE(get.start(withPorts({"-u", "bob", "get", "--own", "--limit-rate", "1M", "big.bin"}),
                          options("pw"), Streams::Terminal));
    auto admin = loginAs("ADMIN", "");
    ASSERT_TRUE(eventually(
        [&] {
            auto info = admin->userInfo("BOB");
            return info && info->direction == DIRECTION_TO_CLIENT && info->rateKBps > 0;
        },
        10000))
        << "the download never started: " << get.out();
    CliResult whois = vextora({"-u", "admin", "whois", "bob"}, "");
    EXPECT_TRUE(std::regex_search(
        whois.out, std::regex("transfer:   downloading [0-9.]+ (B|KiB|MiB) of 16.0 MiB at "
                              "[0-9]+\\.[0-9] (KiB|MiB)/s\n")))
        << whois.out;

    ASSERT_TRUE(get.waitFor("% [")) << get.out();
    get.signal(SIGINT);
    EXPECT_EQ(get.wait(10000), 130) << get.out();
    // The last frame: from its carriage return to the escape that clears the rest.
    std::size_t end = get.out().rfind("\x1b[K");
    ASSERT_NE(end, std::string::npos) << get.out();
    std::size_t start = get.out().rfind('\r', end);
    std::string last = get.out().substr(start, end - start);
    EXPECT_NE(last.find("cancelled"), std::string::npos) << last;
    EXPECT_EQ(last.find(" in 0:"), std::string::npos) << "it must not look finished: " << last;
    EXPECT_NE(get.out().find("download cancelled; nothing was stored"), std::string::npos);
}

TEST_F(CliTerminal, TabCompletesOwnFilesCatalogLinesAndLocalPaths) {
    createAccount("bob");
    dir_.write("Users/BOB/notes.txt", "12345");
    dir_.write("Users/BOB/my report.txt", "123");
    {
        auto bob = loginAs("BOB");
        bob->setShared("notes.txt", true);
        ASSERT_TRUE(bob->fileInfo("notes.txt")->shared);
    }
    work_.write("local-file.txt", "local");
    CliProcess shell;
    ASSERT_TRUE(shell.start(withPorts({"-u", "bob", "shell"}), options("pw"), Streams::Terminal));
    ASSERT_TRUE(shell.waitFor("vextora BOB> ")) << shell.out();
    struct Step {
        std::string typed;   // Tab completes the rest, Enter runs it
        std::string result;  // what the completed command then prints
    };
    const std::vector<Step> steps = {
        {"info no\t", "notes.txt: 5 bytes, shared as BOB\\notes.txt"},
        {"info my\t", "my report.txt: 3 bytes, not shared"},
        {"get --own my\t", "downloaded my report.txt to my report.txt (3 B)"},
        {"get BOB/no\t", "downloaded BOB\\notes.txt to notes.txt (5 B)"},
        {"put local-\t", "uploaded local-file.txt as local-file.txt (5 B)"},
        {"he\tsh\t", "Usage: share NAME"},
    };
    for (const auto& step : steps) {
        std::size_t mark = shell.out().size();
        shell.write(step.typed);
        shell.write("\r");
        EXPECT_TRUE(shell.waitFor(step.result, 5000, false, mark)) << step.typed << ":\n"
                                                                   << shell.out().substr(mark);
        ASSERT_TRUE(shell.waitFor("vextora BOB> ", 5000, false, mark));
    }
    shell.write("quit\r");
    EXPECT_EQ(shell.wait(10000), 0) << shell.out();
    EXPECT_EQ(work_.read("my report.txt"), "123");
}

}  // namespace
}  // namespace vextora::test
