#include "cli/cli_fixture.h"

namespace vextora::test {

std::vector<std::string> CliFixture::withPorts(const std::vector<std::string>& args) const {
    std::vector<std::string> full = {"-p", std::to_string(controlPort()), "--transfer-port",
                                     std::to_string(transferPort())};
    full.insert(full.end(), args.begin(), args.end());
    return full;
}

CliOptions CliFixture::options(std::optional<std::string> password) const {
    CliOptions options;
    options.directory = work_.str();
    if (password) options.variables["VEXTORA_PASSWORD"] = *password;
    return options;
}

CliResult CliFixture::vextora(const std::vector<std::string>& args,
                              std::optional<std::string> password, const std::string& input) {
    CliOptions run = options(std::move(password));
    run.input = input;
    return runCli(withPorts(args), run);
}

void CliFixture::createAccount(const std::string& name, const std::string& password) {
    auto client = connect();
    auto created = client->createAccount(name, password);
    ASSERT_TRUE(created.ok()) << created.message;
}

}  // namespace vextora::test
