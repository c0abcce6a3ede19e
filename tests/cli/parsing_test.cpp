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
#include "client/wildcards.h"

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

TEST(Invocation, HostPortBatchTimeoutAndVerboseAreRead) {
    InvocationParse parsed =
        parseInvocation({"-H", "files.example:4000", "--timeout", "30", "-v", "-b", "jobs"});
    ASSERT_TRUE(parsed.invocation) << parsed.error;
    EXPECT_EQ(parsed.invocation->host, "files.example");
    EXPECT_EQ(parsed.invocation->controlPort, 4000);
    EXPECT_EQ(parsed.invocation->transferPort, 4001);
    EXPECT_EQ(parsed.invocation->timeoutSeconds, 30);
    EXPECT_TRUE(parsed.invocation->verbose);
    EXPECT_EQ(parsed.invocation->batchFile, "jobs");
    EXPECT_TRUE(parsed.invocation->words.empty());

    const std::vector<std::pair<Words, std::string>> mistakes = {
        {{"-H", "::1", "ls"}, "'::1' is an IPv6 address; the client speaks IPv4 only"},
        {{"-H", "[::1]:23322", "ls"}, "IPv6 address"},
        {{"-H", "host:", "ls"}, "the port after ':' must be 1 to 65535"},
        {{"-H", ":4000", "ls"}, "no host before its ':'"},
        {{"-H", "host:0", "ls"}, "the port after ':' must be 1 to 65535"},
        {{"-p", "1", "-H", "host:2", "ls"}, "the port is given twice"},
        {{"--timeout", "0", "ls"}, "--timeout needs whole seconds from 1 to 3600"},
        {{"--timeout", "3601", "ls"}, "--timeout needs"},
        {{"-b"}, "-b needs a file"},
        {{"-b", "jobs", "ls"}, "give no command after it"},
    };
    for (const auto& [args, message] : mistakes) {
        InvocationParse wrong = parseInvocation(args);
        EXPECT_FALSE(wrong.invocation) << args[1];
        EXPECT_NE(wrong.error.find(message), std::string::npos) << args[1] << ": " << wrong.error;
    }
    InvocationParse same = parseInvocation({"-p", "4000", "-H", "h:4000", "ls"});
    EXPECT_TRUE(same.invocation) << "the same port twice is no conflict";
}

TEST(Defaults, CommandLineThenEnvironmentThenConfigFile) {
    DefaultsParse config = parseConfig(
        "# defaults\n\nhost = files.example:5000\n  user=bob  \r\npassword-file = bob.pw\n"
        "timeout = 20\ntransfer-port = 6000\n",
        "config", "/home/u/.config/vextora", "/home/u");
    ASSERT_TRUE(config.defaults) << config.error;
    EXPECT_EQ(config.defaults->passwordFile, "/home/u/.config/vextora/bob.pw")
        << "a relative password file lies beside the config file";
    DefaultsParse environment = defaultsFromEnvironment("10.0.0.9", "alice");
    ASSERT_TRUE(environment.defaults) << environment.error;

    Invocation plain = *parseInvocation({"ls"}).invocation;
    ASSERT_EQ(applyDefaults(plain, *environment.defaults), "");
    ASSERT_EQ(applyDefaults(plain, *config.defaults), "");
    EXPECT_EQ(plain.host, "10.0.0.9") << "the environment comes before the file";
    EXPECT_EQ(plain.user, "alice");
    EXPECT_EQ(plain.controlPort, 5000) << "the file's port, as the environment gave none";
    EXPECT_EQ(plain.transferPort, 6000);
    EXPECT_EQ(plain.timeoutSeconds, 20);
    EXPECT_FALSE(plain.userGiven) << "a default user is not an explicit -u";

    Invocation given = *parseInvocation({"-H", "h", "-p", "7000", "-u", "carol", "ls"}).invocation;
    ASSERT_EQ(applyDefaults(given, *config.defaults), "");
    EXPECT_EQ(given.host, "h");
    EXPECT_EQ(given.controlPort, 7000);
    EXPECT_EQ(given.transferPort, 6000) << "a transfer port given somewhere is kept";
    EXPECT_EQ(given.user, "carol");

    Invocation follows = *parseInvocation({"ls"}).invocation;
    ASSERT_EQ(applyDefaults(follows, *parseConfig("port = 9000\n", "c", "/", "/").defaults), "");
    EXPECT_EQ(follows.transferPort, 9001) << "otherwise it follows the control port";

    EXPECT_EQ(parseConfig("password-file = ~/pw\n", "c", "/etc", "/home/u").defaults->passwordFile,
              "/home/u/pw");
    EXPECT_EQ(configPath("/xdg", "/home/u"), "/xdg/vextora/config");
    EXPECT_EQ(configPath("relative", "/home/u"), "/home/u/.config/vextora/config");
    EXPECT_EQ(configPath(nullptr, "/home/u"), "/home/u/.config/vextora/config");
    EXPECT_EQ(configPath(nullptr, nullptr), "");
    EXPECT_FALSE(defaultsFromEnvironment("::1", nullptr).defaults);
}

TEST(Wildcards, MatchAsAShellDoesWithoutCrossingSeparators) {
    struct Case {
        std::string pattern, name;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"*.pdf", "a.pdf", true},
        {"*.pdf", "a.pdf.txt", false},
        {"*", "", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"?.txt", "a.txt", true},
        {"?.txt", "ab.txt", false},
        {"[ab].txt", "b.txt", true},
        {"[!ab].txt", "b.txt", false},
        {"[a-c]x", "cx", true},
        {"[a-c]x", "dx", false},
        {"[]x]", "]", true},
        {"[abc", "[abc", true},
        {"BOB\\*.pdf", "BOB\\a.pdf", true},
        {"BOB\\*.pdf", "BOB\\sub/a.pdf", false},
        {"*", "sub/a", false},
        {"*a*a*a*a*a*b", std::string(60, 'a'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchesWildcard(c.pattern, c.name, true), c.matches)
            << c.pattern << " " << c.name;
    EXPECT_TRUE(matchesWildcard("*", "sub/a")) << "without the separator rule";
    EXPECT_TRUE(hasWildcards("a[1]"));
    EXPECT_FALSE(hasWildcards("BOB\\plain.txt"));

    const std::vector<std::string> catalog = {"BOB\\a.pdf", "BOB\\notes.txt", "ALICE\\b.pdf",
                                              "BOB\\sub/c.pdf"};
    EXPECT_EQ(matchCatalogPattern("*.pdf", catalog),
              (std::vector<std::string>{"BOB\\a.pdf", "ALICE\\b.pdf"}));
    EXPECT_EQ(matchCatalogPattern("BOB/*", catalog),
              (std::vector<std::string>{"BOB\\a.pdf", "BOB\\notes.txt"}));
    EXPECT_EQ(matchCatalogPattern("*\\b*", catalog), std::vector<std::string>{"ALICE\\b.pdf"});
    EXPECT_EQ(matchCatalogPattern("BOB/sub/*", catalog),
              std::vector<std::string>{"BOB\\sub/c.pdf"});
}

TEST(Names, RefusedNamesSayTheirOneCause) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"notes.txt", ""},
        {"sub/notes.txt", ""},
        {"", "an empty name"},
        {std::string(256, 'x'), "longer than 255 bytes"},
        {"two\nlines", "control character"},
        {"tab\there", "control character"},
        {"esc\x1b", "control character"},
        {"../up", "'..' part would leave your folder"},
        {"sub\\..\\x", "'..' part"},
        {"sub/", "ends in a separator"},
        {".vxtpart-1", "the server's own"},
        {"sub/.vxtpart-1", "the server's own"},
    };
    for (const auto& [name, problem] : files) {
        std::string found = fileNameProblem(name);
        if (problem.empty()) {
            EXPECT_EQ(found, "") << name;
        } else {
            EXPECT_NE(found.find(problem), std::string::npos) << name << ": " << found;
        }
    }
    const std::vector<std::pair<std::string, std::string>> accounts = {
        {"bob", ""},
        {"bob.smith", ""},
        {"1.2.3", ""},
        {"", "needs a name"},
        {"..", "name folders"},
        {"a/b", "cannot hold '/'"},
        {"a\\b", "cannot hold '/' or '\\'"},
        {"a\rb", "control character"},
        {" bob", "begin or end with a blank"},
        {"bob ", "begin or end with a blank"},
        {"Admin", "ADMIN is reserved"},
        {"serverShare", "SERVERSHARE is reserved"},
        {"10.0.0.1", "reads as an address"},
        {std::string(254, 'b'), "at most 253 bytes"},
    };
    for (const auto& [name, problem] : accounts) {
        std::string found = accountNameProblem(name);
        if (problem.empty()) {
            EXPECT_EQ(found, "") << name;
        } else {
            EXPECT_NE(found.find(problem), std::string::npos) << name << ": " << found;
        }
    }
    EXPECT_EQ(accountNameProblem(std::string(253, 'b')), "");
    EXPECT_TRUE(inSubFolder("a\\b") && inSubFolder("a/b") && !inSubFolder("ab"));
    EXPECT_EQ(topComponent("sub/deep/x"), "sub");
    EXPECT_EQ(topComponent("x"), "x");
}

TEST(Names, BinaryIsAnyControlByteButTheLayoutOnes) {
    for (std::string text : {"plain text\n", "tabs\tand\r\nlines\f", "caf\xc3\xa9", ""})
        EXPECT_FALSE(looksBinary(text.data(), text.size())) << text;
    for (std::string data : {std::string("nul\0", 4), std::string("\x1b[2J"), std::string("\x7f"),
                             std::string("\x01")})
        EXPECT_TRUE(looksBinary(data.data(), data.size()));
}

TEST(ShellWords, TheWordBeingTypedIsSplitOffWithItsOpenQuote) {
    struct Case {
        std::string typed;
        Words words;
        std::string partial;
        char quote;
        std::size_t start;
    };
    const std::vector<Case> cases = {
        {"", {}, "", 0, 0},
        {"ge", {}, "ge", 0, 0},
        {"get ", {"get"}, "", 0, 4},
        {"get BOB\\no", {"get"}, "BOB\\no", 0, 4},
        {"get \"BOB\\my no", {"get"}, "BOB\\my no", '"', 4},
        {"mv 'a b' c", {"mv", "a b"}, "c", 0, 9},
        {"  put   x", {"put"}, "x", 0, 8},
    };
    for (const auto& c : cases) {
        LinePrefix prefix = splitPrefix(c.typed);
        EXPECT_EQ(prefix.words, c.words) << c.typed;
        EXPECT_EQ(prefix.partial, c.partial) << c.typed;
        EXPECT_EQ(prefix.quote, c.quote) << c.typed;
        EXPECT_EQ(prefix.start, c.start) << c.typed;
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

    std::ostringstream cancelled;
    ProgressMeter stopped(cancelled, "f", 80);
    stopped.update(0, total, 0);
    stopped.update(total / 4, total, 0.5);
    stopped.finish(1.0, "cancelled");
    EXPECT_NE(cancelled.str().find("cancelled"), std::string::npos) << cancelled.str();
    EXPECT_EQ(cancelled.str().find("in 0:"), std::string::npos)
        << "a cancelled transfer does not look finished";
    EXPECT_NE(cancelled.str().find(" 25% ["), std::string::npos) << cancelled.str();

    // Everything moved before the first sample, as when an upload's first
    // send takes the whole file: the last frame still shows a rate.
    std::ostringstream fast;
    ProgressMeter quick(fast, "f", 80);
    quick.update(total, total, 2.0);
    quick.finish(2.004);
    std::string last = fast.str().substr(fast.str().rfind('\r'));
    EXPECT_NE(last.find("GiB/s"), std::string::npos) << "10 MiB in 4 ms: " << last;

    std::ostringstream silent;
    ProgressMeter unused(silent, "f", 80);
    unused.finish(1);
    EXPECT_EQ(silent.str(), "") << "nothing drawn, nothing to end";
}

}  // namespace
}  // namespace vextora::client
