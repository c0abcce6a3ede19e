// The real vextora program against an in-process server on free ports, run
// in a working folder of its own (the server's data folder is dir_).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli_process.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace vextora::test {

class CliFixture : public ServerFixture {
protected:
    void SetUp() override { startServer(); }

    // The arguments with the server's ports in front.
    std::vector<std::string> withPorts(const std::vector<std::string>& args) const;
    // Runs vextora to its end; `password`, when given, is VEXTORA_PASSWORD.
    CliResult vextora(const std::vector<std::string>& args,
                      std::optional<std::string> password = std::nullopt,
                      const std::string& input = {});
    CliOptions options(std::optional<std::string> password = std::nullopt) const;
    // Creates the account with the library, not logged in afterwards.
    void createAccount(const std::string& name, const std::string& password = "pw");
    // The path of a file in the program's working folder.
    std::string local(const std::string& name) const { return (work_ / name).string(); }

    TempDir work_;
};

}  // namespace vextora::test
