// What the vextora program tells about itself, checked against its command
// table: --help, each command's help, the manual page and the bash
// completion file must name every command and option there is, so none of
// them can fall behind the program.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "client/commands.h"

namespace vextora::client {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The manual page's text with its escapes for '-', '\' and fonts undone.
std::string manualText() {
    std::string text = readFile(VEXTORA_MANUAL_PAGE);
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text.compare(at, 2, "\\-") == 0) {
            plain += '-';
            ++at;
        } else if (text.compare(at, 3, "\\fB") == 0 || text.compare(at, 3, "\\fI") == 0 ||
                   text.compare(at, 3, "\\fR") == 0) {
            at += 2;
        } else {
            plain += text[at];
        }
    }
    return plain;
}

// The options of the program itself, as --help lists them.
std::set<std::string> programOptions() {
    std::string help = overviewHelp(Mode::OneShot);
    std::string section = help.substr(0, help.find("\nCommands:"));
    std::set<std::string> options;
    std::regex option("(^|[ ,])(--?[a-zA-Z][a-zA-Z-]*)");
    for (std::sregex_iterator it(section.begin(), section.end(), option), end; it != end; ++it)
        options.insert((*it)[2]);
    return options;
}

// Runs the completion function in bash as Tab would, in `folder`: the
// words typed so far, the last being the one completed.
std::set<std::string> completed(const std::vector<std::string>& words,
                                const std::string& folder = ".") {
    std::string line = "vextora";
    std::string array = "vextora";
    for (const auto& word : words) {
        line += " " + word;
        array += " '" + word + "'";
    }
    std::string script =
        "cd '" + folder + "' && bash --norc --noprofile -c '. \"$0\"; COMP_WORDS=(" +
        std::regex_replace(array, std::regex("'"), "'\\''") +
        "); COMP_CWORD=" + std::to_string(words.size()) +
        "; _vextora; printf \"%s\\n\" \"${COMPREPLY[@]}\"' '" + VEXTORA_BASH_COMPLETION + "'";
    std::set<std::string> found;
    std::FILE* output = ::popen(script.c_str(), "r");
    if (output == nullptr) return found;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, output) != nullptr) {
        std::string entry(buffer);
        while (!entry.empty() && entry.back() == '\n') entry.pop_back();
        if (!entry.empty()) found.insert(entry);
    }
    ::pclose(output);
    return found;
}

std::set<std::string> oneShotCommands() {
    std::set<std::string> names;
    for (const auto& info : allCommands())
        if (info.oneShot) names.emplace(info.name);
    return names;
}

TEST(Documentation, EveryCommandsHelpExplainsEachOptionItTakes) {
    for (const auto& info : allCommands()) {
        Mode mode = info.oneShot ? Mode::OneShot : Mode::Shell;
        std::string help = commandHelp(info, mode);
        for (const auto& option : optionSpellings(info)) {
            if (option == "-h" || option == "--help") continue;
            EXPECT_NE(help.find(option), std::string::npos) << info.name << ": " << option;
        }
    }
    EXPECT_EQ(commandHelp(*findCommand("login", Mode::Shell), Mode::OneShot)
                  .rfind("Usage (inside 'vextora shell'): login NAME\n", 0),
              0u)
        << "a shell command's usage says where it works";
    EXPECT_EQ(commandHelp(*findCommand("login", Mode::Shell), Mode::Shell).rfind("Usage: login", 0),
              0u);
}

TEST(Documentation, ManualPageNamesEveryCommandOptionAndSetting) {
    std::string manual = manualText();
    ASSERT_FALSE(manual.empty()) << VEXTORA_MANUAL_PAGE;
    for (const auto& info : allCommands()) {
        EXPECT_NE(manual.find(std::string(info.name)), std::string::npos) << info.name;
        for (const auto& option : optionSpellings(info))
            EXPECT_NE(manual.find(option), std::string::npos) << info.name << ": " << option;
    }
    std::set<std::string> options = programOptions();
    EXPECT_GE(options.size(), 15u) << "the --help options were not found";
    for (const auto& option : options) EXPECT_NE(manual.find(option), std::string::npos) << option;
    for (const char* setting :
         {"VEXTORA_HOST", "VEXTORA_USER", "VEXTORA_PASSWORD", "XDG_CONFIG_HOME",
          ".config/vextora/config", "password-file", "transfer-port", "timeout"})
        EXPECT_NE(manual.find(setting), std::string::npos) << setting;
}

TEST(Documentation, BashCompletionOffersCommandsOptionsAndLocalPaths) {
    EXPECT_EQ(completed({""}), oneShotCommands());
    EXPECT_EQ(completed({"-u", "bob", "ge"}), std::set<std::string>{"get"});
    EXPECT_EQ(completed({"-H", "host:1", "--password-file", "pw", "m"}),
              (std::set<std::string>{"mget", "mput", "mv"}));

    std::set<std::string> global = completed({"-"});
    EXPECT_EQ(global, programOptions()) << "the options --help lists, no more";

    for (const auto& info : allCommands()) {
        if (!info.oneShot) continue;
        std::vector<std::string> spellings = optionSpellings(info);
        EXPECT_EQ(completed({std::string(info.name), "-"}),
                  std::set<std::string>(spellings.begin(), spellings.end()))
            << info.name;
    }

    fs::path folder =
        fs::temp_directory_path() / ("vextora-completion-" + std::to_string(::getpid()));
    fs::create_directories(folder / "docs");
    std::ofstream(folder / "notes.txt") << "x";
    std::ofstream(folder / "jobs.txt") << "x";
    std::string here = folder.string();
    EXPECT_EQ(completed({"put", "no"}, here), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(completed({"put", "notes.txt", "no"}, here), std::set<std::string>{})
        << "the second word of put is a name on the server";
    EXPECT_EQ(completed({"mput", "-r", "do"}, here), std::set<std::string>{"docs"});
    EXPECT_EQ(completed({"get", "BOB\\\\x", "no"}, here), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(completed({"get", "--limit-rate", "1M", "no"}, here), std::set<std::string>{})
        << "a rate's value is no argument";
    EXPECT_EQ(completed({"-b", "jo"}, here), std::set<std::string>{"jobs.txt"});
    EXPECT_EQ(completed({"mget", "-O", "d"}, here), std::set<std::string>{"docs"});
    EXPECT_EQ(completed({"help", "lo"}), (std::set<std::string>{"login", "logout"}));
    fs::remove_all(folder);
}

}  // namespace
}  // namespace vextora::client
