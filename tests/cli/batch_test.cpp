// The real vextora program running batches of commands, and taking what its
// command line leaves out from the environment and the config file.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_fixture.h"

namespace vextora::test {
namespace {

namespace fs = std::filesystem;

const std::optional<std::string> PW = "pw";

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

class CliBatch : public CliFixture {
protected:
    void SetUp() override {
        CliFixture::SetUp();
        createAccount("bob");
        work_.write("a.txt", "alpha\n");
    }
};

TEST_F(CliBatch, BatchFileStopsAtItsFirstFailureAndShowsThatLine) {
    work_.write("jobs.txt",
                "# upload, then a mistake\n"
                "login bob\n"
                "put a.txt\n"
                "rm nothing.txt\n"
                "put a.txt b.txt\n");
    CliResult run = vextora({"-b", "jobs.txt"}, PW);
    EXPECT_EQ(run.code, 1) << "the status of the failed rm";
    EXPECT_EQ(run.out, "logged in as BOB\nuploaded a.txt as a.txt (6 B)\n");
    EXPECT_EQ(run.err,
              "cannot delete nothing.txt: no such file in your folder\n"
              "stopped at line 4 of jobs.txt: rm nothing.txt\n");
    EXPECT_FALSE(dir_.exists("Users/BOB/b.txt")) << "nothing ran after the failure";
}

TEST_F(CliBatch, DashLinesGoOnAndVerboseEchoesEachCommandBeforeItsOutput) {
    work_.write("jobs.txt",
                "login bob\n"
                "  -rm nothing.txt\r\n"
                "put a.txt b.txt\n"
                "ls\n");
    CliResult run = vextora({"-v", "-b", "jobs.txt"}, PW);
    EXPECT_EQ(run.code, 1) << "the failure on the '-' line still shows in the status";
    EXPECT_EQ(run.out,
              "vextora> login bob\n"
              "logged in as BOB\n"
              "vextora BOB> -rm nothing.txt\n"
              "vextora BOB> put a.txt b.txt\n"
              "uploaded a.txt as b.txt (6 B)\n"
              "vextora BOB> ls\n"
              "b.txt\n");
    EXPECT_TRUE(contains(run.err, "cannot delete nothing.txt: no such file in your folder\n"))
        << run.err;
    EXPECT_FALSE(contains(run.err, "stopped")) << run.err;

    // A batch file leaves standard input free for `put -`.
    work_.write("input.txt", "login bob\nput - c.txt\n");
    CliResult fromInput = vextora({"-b", "input.txt"}, PW, "piped data");
    EXPECT_EQ(fromInput.code, 0) << fromInput.err;
    EXPECT_EQ(dir_.read("Users/BOB/c.txt"), "piped data");
}

TEST_F(CliBatch, PipedShellStopsAfterAFailedLoginAndAtTheFirstFailure) {
    CliResult badLogin = vextora({"-u", "bob", "shell"}, "wrong", "put a.txt\nls\n");
    EXPECT_EQ(badLogin.code, 1);
    EXPECT_EQ(badLogin.err, "vextora: login as BOB failed: bad password\n");
    EXPECT_EQ(badLogin.out, "");
    EXPECT_FALSE(dir_.exists("Users/BOB/a.txt"));

    CliResult stopped = vextora({"-u", "bob", "shell"}, PW, "ls\nget BOB/missing.txt\nput a.txt\n");
    EXPECT_EQ(stopped.code, 1);
    EXPECT_TRUE(contains(stopped.err, "stopped at line 2 of standard input: get BOB/missing.txt"))
        << stopped.err;
    EXPECT_FALSE(dir_.exists("Users/BOB/a.txt"));

    CliResult missing = vextora({"-b", "nothing.txt"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.err,
              "vextora: cannot read the batch file nothing.txt: No such file or directory\n");
    EXPECT_EQ(vextora({"-b", "x", "ls"}).code, 2) << "-b takes no command";
}

class CliDefaults : public CliFixture {
protected:
    void SetUp() override {
        CliFixture::SetUp();
        createAccount("bob", "bob-pw");
        dir_.write("Users/BOB/mine.txt", "x");
    }
    // The program with only `args`: no port options in front.
    CliResult bare(const std::vector<std::string>& args,
                   std::map<std::string, std::string> variables = {}) {
        CliOptions run = options();
        for (auto& [name, value] : variables) run.variables[name] = value;
        return runCli(args, run);
    }
    void configure(const std::string& text) {
        fs::create_directories(work_ / ".config/vextora");
        work_.write(".config/vextora/config", text);
    }
    std::string ports() const {
        return "port = " + std::to_string(controlPort()) +
               "\ntransfer-port = " + std::to_string(transferPort()) + "\n";
    }
};

TEST_F(CliDefaults, ConfigFileGivesHostPortUserAndItsPasswordFile) {
    work_.write(".config/vextora/bob.pw", "bob-pw\n");
    configure("# my server\nhost = 127.0.0.1\n" + ports() +
              "user = bob\npassword-file = bob.pw\ntimeout = 5\n");
    CliResult ls = bare({"ls"});
    EXPECT_EQ(ls.code, 0) << ls.err;
    EXPECT_EQ(ls.out, "mine.txt\n");
    CliResult catalog = bare({"catalog"});
    EXPECT_EQ(catalog.code, 0) << "a default user logs in only where needed: " << catalog.err;

    // The command line and the environment come first.
    CliResult other = bare({"-u", "carol", "ls"}, {{"VEXTORA_PASSWORD", "x"}});
    EXPECT_EQ(other.code, 1);
    EXPECT_TRUE(contains(other.err, "login as CAROL failed: no such account")) << other.err;
    CliResult noPassword = bare({"-u", "carol", "ls"});
    EXPECT_EQ(noPassword.code, 2) << "bob's password file is not carol's";
    EXPECT_TRUE(contains(noPassword.err, "no terminal to ask on")) << noPassword.err;
    CliResult elsewhere = bare({"-p", "1", "ls"});
    EXPECT_EQ(elsewhere.code, 3);
    EXPECT_TRUE(contains(elsewhere.err, "cannot connect to 127.0.0.1 port 1")) << elsewhere.err;
    CliResult ignored = bare({"--no-config", "-p", std::to_string(controlPort()), "ls"});
    EXPECT_EQ(ignored.code, 2);
    EXPECT_TRUE(contains(ignored.err, "'ls' needs a login: add -u NAME")) << ignored.err;
}

TEST_F(CliDefaults, EnvironmentAndHostPortNameTheServer) {
    std::string address = "127.0.0.1:" + std::to_string(controlPort());
    std::string transfer = std::to_string(transferPort());
    CliResult byOption = bare({"-H", address, "--transfer-port", transfer, "-u", "bob", "ls"},
                              {{"VEXTORA_PASSWORD", "bob-pw"}});
    EXPECT_EQ(byOption.code, 0) << byOption.err;
    EXPECT_EQ(byOption.out, "mine.txt\n");
    CliResult byEnvironment =
        bare({"--transfer-port", transfer, "ls"},
             {{"VEXTORA_HOST", address}, {"VEXTORA_USER", "bob"}, {"VEXTORA_PASSWORD", "bob-pw"}});
    EXPECT_EQ(byEnvironment.code, 0) << byEnvironment.err;
    EXPECT_EQ(byEnvironment.out, "mine.txt\n");
    CliResult badHost = bare({"catalog"}, {{"VEXTORA_HOST", "[::1]:23322"}});
    EXPECT_EQ(badHost.code, 2);
    EXPECT_TRUE(contains(badHost.err, "VEXTORA_HOST: '[::1]:23322' is an IPv6 address"))
        << badHost.err;
    CliResult twice = bare({"-p", "4000", "-H", "localhost:5000", "catalog"});
    EXPECT_EQ(twice.code, 2);
    EXPECT_TRUE(contains(twice.err, "the port is given twice")) << twice.err;
}

TEST_F(CliDefaults, MistakesInTheConfigFileNameItsLine) {
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {"host = 127.0.0.1\ncolour = blue\n", "config line 2: unknown key 'colour'"},
             {"port = 99999\n", "config line 1: port must be a port from 1 to 65535"},
             {"user\n", "config line 1: expected KEY = VALUE"},
             {"timeout = 0\n", "config line 1: timeout must be 1 to 3600 seconds"},
         }) {
        configure(text);
        CliResult run = bare({"catalog"});
        EXPECT_EQ(run.code, 2) << text;
        EXPECT_TRUE(contains(run.err, message)) << text << ": " << run.err;
    }
}

TEST_F(CliDefaults, UserOptionIsRefusedWhereNothingLogsInAndCheckedWhereItDoes) {
    dir_.write("Users/BOB/shared.txt", "s");
    {
        auto bob = loginAs("BOB", "bob-pw");
        bob->setShared("shared.txt", true);
        ASSERT_TRUE(bob->fileInfo("shared.txt")->shared);
    }
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> password;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-u", "bob", "register", "dave"}, "pw", 2, "'register' does not log in"},
        {{"-u", "carol", "catalog"}, "pw", 1, "login as CAROL failed: no such account"},
        {{"-u", "bob", "catalog"}, "wrong", 1, "login as BOB failed: bad password"},
        {{"-u", "bob", "catalog"}, "bob-pw", 0, "BOB\\shared.txt"},
        {{"-u", "carol", "get", "BOB\\shared.txt"}, "pw", 1, "no such account"},
        {{"-u", "bob", "get", "BOB\\shared.txt", "-"}, "wrong", 1, "bad password"},
    };
    for (const auto& c : cases) {
        CliResult run = vextora(c.args, c.password);
        EXPECT_EQ(run.code, c.code) << c.args[1] << " " << c.args[2] << ": " << run.err;
        EXPECT_TRUE(contains(c.code == 0 ? run.out : run.err, c.message))
            << c.args[2] << ": " << run.out << run.err;
    }
    EXPECT_FALSE(dir_.exists("Users/DAVE")) << "the refused register sent nothing";
}

}  // namespace
}  // namespace vextora::test
