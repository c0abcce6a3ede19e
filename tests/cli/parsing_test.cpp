// The parts of the vextora program that need no server: its command line,
// the shell's words, names, password files and the progress line.
#include <gtest/gtest.h>

#include <sstream>

#include "client/commands.h"
#include "client/invocation.h"
#include "client/names.h"
#include "client/password_source.h"
#include "client/progress_meter.h"
#include "client/shell.h"

namespace vextora::client {
namespace {

using Words = std::vector<std::string>;

TEST(Invocation, OptionsBeforeTheCommandAreReadAndTheRestBelongsToIt) {
    struct Case {
        Words args;
        std::string host;
        int control, transfer;
        std::string user;
        Words words;
    };
    const std::vector<Case> cases = {
        {{"catalog"}, "127.0.0.1", 23322, 23323, "", {"catalog"}},
        {{"-H", "files.example", "-u", "bob", "ls", "-l"},
         "files.example",
         23322,
         23323,
         "bob",
         {"ls", "-l"}},
        {{"--host=10.0.0.2", "--user=bob", "get", "-u", "x"},
         "10.0.0.2",
         23322,
         23323,
         "bob",
         {"get", "-u", "x"}},
        {{"-p", "4000", "ls"}, "127.0.0.1", 4000, 4001, "", {"ls"}},
        {{"-p", "4000", "--transfer-port", "5000", "ls"}, "127.0.0.1", 4000, 5000, "", {"ls"}},
        {{"--", "-weird"}, "127.0.0.1", 23322, 23323, "", {"-weird"}},
        {{"-"}, "127.0.0.1", 23322, 23323, "", {"-"}},
    };
    for (const auto& c : cases) {
        InvocationParse parsed = parseInvocation(c.args);
        ASSERT_TRUE(parsed.invocation) << c.args[0] << ": " << parsed.error;
        EXPECT_EQ(parsed.invocation->host, c.host);
        EXPECT_EQ(parsed.invocation->controlPort, c.control);
        EXPECT_EQ(parsed.invocation->transferPort, c.transfer);
        EXPECT_EQ(parsed.invocation->user, c.user);
        EXPECT_EQ(parsed.invocation->words, c.words);
    }
}

TEST(Invocation, MistakesAreUsageErrorsThatSayWhat) {
    const std::vector<std::pair<Words, std::string>> cases = {
        {{"-u"}, "-u needs"},
        {{"-u", "", "ls"}, "-u needs"},
        {{"-p", "0", "ls"}, "port from 1 to 65535"},
        {{"-p", "65536", "ls"}, "port from 1 to 65535"},
        {{"-p", "12ab", "ls"}, "port from 1 to 65535"},
        {{"-p", "65535", "ls"}, "--transfer-port"},
        {{"--host=", "ls"}, "needs a value"},
        {{"--password", "secret", "ls"}, "never given as arguments"},
        {{"--password=secret", "ls"}, "never given as arguments"},
        {{"-P", "secret", "ls"}, "never given as arguments"},
        {{"--frobnicate", "ls"}, "unknown option"},
    };
    for (const auto& [args, message] : cases) {
        InvocationParse parsed = parseInvocation(args);
        EXPECT_FALSE(parsed.invocation) << args[0];
        EXPECT_NE(parsed.error.find(message), std::string::npos) << args[0] << ": " << parsed.error;
    }
}

TEST(ByteCounts, SuffixesAreBinaryAndNonsenseIsRefused) {
    const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> cases = {
        {"1500", 1500},
        {"64K", 64 * 1024},
        {"64k", 64 * 1024},
        {"2M", 2 * 1024 * 1024},
        {"1G", 1024ull * 1024 * 1024},
        {"0", std::nullopt},
        {"", std::nullopt},
        {"K", std::nullopt},
        {"-5", std::nullopt},
        {"5X", std::nullopt},
        {"5MB", std::nullopt},
        {"18446744073709551615G", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parseByteCount(text), expected) << text;
}

TEST(Commands, ArgumentsAndOptionsAreCheckedBeforeAnythingRuns) {
    struct Case {
        Words words;
        Mode mode;
        std::string error;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {{"get", "BOB\\x"}, Mode::OneShot, ""},
        {{"get", "--own", "x", "-"}, Mode::OneShot, ""},
        {{"get", "x", "out", "--limit-rate", "2M"}, Mode::OneShot, ""},
        {{"get", "--limit-rate=2M", "x"}, Mode::OneShot, ""},
        {{"put", "-", "name"}, Mode::OneShot, ""},
        {{"rm", "--", "-starts-with-a-dash"}, Mode::OneShot, ""},
        {{"ls", "-l"}, Mode::OneShot, ""},
        {{"login", "bob"}, Mode::Shell, ""},
        {{"exit"}, Mode::Shell, ""},
        {{"get"}, Mode::OneShot, "usage: get"},
        {{"get", "a", "b", "c"}, Mode::OneShot, "usage: get"},
        {{"mv", "a"}, Mode::OneShot, "usage: mv OLD NEW"},
        {{"catalog", "extra"}, Mode::OneShot, "usage: catalog"},
        {{"ls", "--own"}, Mode::OneShot, "unknown option '--own'"},
        {{"put", "-l", "x"}, Mode::OneShot, "unknown option '-l'"},
        {{"get", "--limit-rate", "fast", "x"}, Mode::OneShot, "--limit-rate needs"},
        {{"get", "x", "--limit-rate"}, Mode::OneShot, "--limit-rate needs"},
        {{"frobnicate"}, Mode::OneShot, "unknown command"},
        {{"login", "bob"}, Mode::OneShot, "only inside"},
        {{"quit"}, Mode::OneShot, "only inside"},
        {{"shell"}, Mode::Shell, "not available inside the shell"},
    };
    for (const auto& c : cases) {
        CommandParse parsed = parseCommand(c.words, c.mode);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed.command) << c.words[0] << ": " << parsed.error;
        } else {
            EXPECT_FALSE(parsed.command) << c.words[0];
            EXPECT_NE(parsed.error.find(c.error), std::string::npos)
                << c.words[0] << ": " << parsed.error;
        }
    }
}

TEST(Commands, HelpOptionSkipsTheArgumentCheckAndGetOwnNeedsAnAccount) {
    CommandParse help = parseCommand({"mv", "--help"}, Mode::OneShot);
    ASSERT_TRUE(help.command);
    EXPECT_TRUE(help.command->help);

    CommandParse catalogGet = parseCommand({"get", "BOB\\x"}, Mode::OneShot);
    CommandParse ownGet = parseCommand({"get", "--own", "x"}, Mode::OneShot);
    ASSERT_TRUE(catalogGet.command && ownGet.command);
    EXPECT_EQ(catalogGet.command->access(), Access::Login);
    EXPECT_EQ(ownGet.command->access(), Access::Account);

    CommandParse paced = parseCommand({"put", "--limit-rate", "64K", "f"}, Mode::OneShot);
    ASSERT_TRUE(paced.command);
    EXPECT_EQ(paced.command->rateLimit, 65536u);
    EXPECT_EQ(paced.command->args, Words{"f"});
}

TEST(Commands, EveryCommandHasHelpThatNamesIt) {
    for (const auto& info : allCommands()) {
        Mode mode = info.oneShot ? Mode::OneShot : Mode::Shell;
        std::string text = commandHelp(info, mode);
        EXPECT_NE(text.find(" " + std::string(info.name)), std::string::npos) << info.name;
        EXPECT_NE(overviewHelp(mode).find("  " + std::string(info.name)), std::string::npos)
            << info.name << " missing from the overview";
        for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            EXPECT_LE(end - start, 80u) << info.name << ": a help line is too wide";
        }
    }
}

TEST(ShellWords, QuotesGroupAndBackslashesStayAsTheyAre) {
    const std::vector<std::pair<std::string, Words>> cases = {
        {"get BOB\\notes.txt", {"get", "BOB\\notes.txt"}},
        {"get \"BOB\\my notes.txt\" out", {"get", "BOB\\my notes.txt", "out"}},
        {"mv 'a b' \"it's\"", {"mv", "a b", "it's"}},
        {"  ls \t -l  ", {"ls", "-l"}},
        {"rm \"\"", {"rm", ""}},
        {"put x\"y z\"w", {"put", "xy zw"}},
        {"", {}},
    };
    for (const auto& [line, words] : cases) {
        WordSplit split = splitWords(line);
        EXPECT_EQ(split.error, "") << line;
        EXPECT_EQ(split.words, words) << line;
    }
    for (std::string unclosed : {"get \"BOB\\x", "mv it's x"}) {
        WordSplit split = splitWords(unclosed);
        EXPECT_NE(split.error.find("unclosed"), std::string::npos) << unclosed;
        EXPECT_TRUE(split.words.empty()) << unclosed;
    }
}

TEST(CatalogLines, ExactThenSlashFormAndSuggestionsByFileName) {
    const std::vector<std::string> catalog = {"BOB\\notes.txt", "ALICE\\sub/deep.txt",
                                              "ALICE\\notes.txt"};
    struct Case {
        std::string typed;
        std::optional<std::string> line;
        std::vector<std::string> suggestions;
    };
    const std::vector<Case> cases = {
        {"BOB\\notes.txt", "BOB\\notes.txt", {}},
        {"BOB/notes.txt", "BOB\\notes.txt", {}},
        {"ALICE/sub/deep.txt", "ALICE\\sub/deep.txt", {}},
        {"bob\\notes.txt", std::nullopt, {}},
        {"notes.txt", std::nullopt, {"BOB\\notes.txt", "ALICE\\notes.txt"}},
        {"CAROL/x", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        CatalogMatch match = matchCatalogLine(c.typed, catalog);
        EXPECT_EQ(match.line, c.line) << c.typed;
        EXPECT_EQ(match.suggestions, c.suggestions) << c.typed;
    }
}

TEST(LocalNames, OnlyANameThatStaysInItsFolder) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"BOB\\notes.txt", "notes.txt"},
        {"BOB\\sub/deep.txt", "deep.txt"},
        {"plain", "plain"},
        {"BOB\\..", std::nullopt},
        {"BOB\\.", std::nullopt},
        {"BOB\\", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [remote, local] : cases) EXPECT_EQ(localNameFor(remote), local) << remote;
    EXPECT_EQ(upperAscii("bob-\xe9t\xc3\xa9"), "BOB-\xe9T\xc3\xa9") << "a to z only";
}

TEST(LocalNames, ControlBytesCannotReachATerminal) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"BOB\\notes.txt", "BOB\\notes.txt"},
        {"evil\x1b]0;title\x07.txt", "evil?]0;title?.txt"},
        {std::string("nul\0tab\tdel\x7f", 12), "nul?tab?del?"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const auto& [raw, shown] : cases) EXPECT_EQ(printable(raw), shown);
}

TEST(PasswordFiles, TheFirstLineWithoutItsLineEnd) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"secret\n", "secret"}, {"secret\r\nnext\n", "secret"},     {"secret", "secret"}, {"", ""},
        {"\nsecond", ""},       {" spaced out \n", " spaced out "},
    };
    for (const auto& [content, password] : cases) EXPECT_EQ(firstLine(content), password);
}

TEST(Figures, BytesAndDurationsReadNaturally) {
    const std::vector<std::pair<std::uint64_t, std::string>> sizes = {
        {0, "0 B"},        {1023, "1023 B"},     {1024, "1.0 KiB"},
        {1536, "1.5 KiB"}, {1048575, "1.0 MiB"}, {5ull * 1024 * 1024 * 1024, "5.0 GiB"},
    };
    for (const auto& [bytes, text] : sizes) EXPECT_EQ(formatBytes(bytes), text) << bytes;
    const std::vector<std::pair<double, std::string>> durations = {
        {0, "0:00"}, {7.4, "0:07"}, {59.6, "1:00"}, {754, "12:34"}, {3723, "1:02:03"}, {-3, "0:00"},
    };
    for (const auto& [seconds, text] : durations) EXPECT_EQ(formatDuration(seconds), text);
}

TEST(ProgressLine, FitsTheTerminalAndKeepsItsBarWhileFiguresChange) {
    const std::uint64_t total = 1000ull * 1024 * 1024;
    for (int columns : {30, 60, 80, 100, 200}) {
        std::size_t barLength = std::string::npos;
        for (std::uint64_t done : std::vector<std::uint64_t>{0, 1, 5000, 300 << 20, total}) {
            for (double rate : {0.0, 900.0, 80e6}) {
                std::string line = ProgressMeter::render("a-long-file-name-here.bin", done, total,
                                                         rate, "1:02:03 left", columns);
                EXPECT_LE(line.size(), static_cast<std::size_t>(columns - 1)) << line;
                EXPECT_NE(line.find('%'), std::string::npos) << line;
                auto open = line.find('['), close = line.find(']');
                std::size_t length = open == std::string::npos ? 0 : close - open;
                if (barLength == std::string::npos) barLength = length;
                EXPECT_EQ(length, barLength) << "the bar moved at " << columns << ": " << line;
            }
        }
        if (columns >= 80) {
            EXPECT_GE(barLength, 10u) << columns;
        }
    }
    std::string unknown = ProgressMeter::render("stdin", 5000, 0, 100, "", 80);
    EXPECT_EQ(unknown.find('%'), std::string::npos) << "no share of an unknown size";
    EXPECT_NE(unknown.find("4.9 KiB"), std::string::npos) << unknown;
}

TEST(ProgressLine, RedrawsAtMostTenTimesASecondAndEndsItsLine) {
    std::ostringstream out;
    ProgressMeter meter(out, "f", 80);
    const std::uint64_t total = 10 * 1024 * 1024;
    for (int step = 0; step <= 100; ++step)  // one second in steps of 10 ms
        meter.update(total / 200 * static_cast<std::uint64_t>(step), total, step * 0.01);
    std::string drawn = out.str();
    long draws = std::count(drawn.begin(), drawn.end(), '\r');
    EXPECT_GE(draws, 9);
    EXPECT_LE(draws, 11);
    EXPECT_NEAR(meter.rate(), total / 2.0, total / 100.0) << "half the size in a second";
    EXPECT_NE(drawn.find("0:01 left"), std::string::npos) << "the other half takes a second";

    meter.update(total, total, 1.005);
    EXPECT_NE(out.str().find("100%"), std::string::npos) << "the end is always drawn";
    meter.finish(1.01);
    EXPECT_EQ(out.str().back(), '\n');
    EXPECT_NE(out.str().find("in 0:01"), std::string::npos);

    std::ostringstream silent;
    ProgressMeter unused(silent, "f", 80);
    unused.finish(1);
    EXPECT_EQ(silent.str(), "") << "nothing drawn, nothing to end";
}

}  // namespace
}  // namespace vextora::client
