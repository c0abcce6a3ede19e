// Every input of the fuzzers' seed corpora, through the same checks the
// fuzzers make: the request path against a real server, and the data-file
// readers and writers against the model of their format.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "file_checks.h"
#include "request_script.h"
#include "scratch_folder.h"

namespace vextora::fuzz {
namespace {

namespace fs = std::filesystem;

using Check = std::string (*)(std::span<const std::uint8_t>, const ScratchFolder&);

struct Corpus {
    const char* folder;
    Check check;
};

class CorpusReplay : public ::testing::TestWithParam<Corpus> {};

TEST_P(CorpusReplay, EveryInputPassesItsChecks) {
    ::signal(SIGPIPE, SIG_IGN);  // as the server program does
    ScratchFolder scratch;
    fs::path folder = fs::path(VEXTORA_CORPUS_DIR) / GetParam().folder;
    int inputs = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(GetParam().check(bytes, scratch), "") << entry.path().filename();
        ++inputs;
    }
    EXPECT_GT(inputs, 0) << "no seeds in " << folder;
}

INSTANTIATE_TEST_SUITE_P(Seeds, CorpusReplay,
                         ::testing::Values(Corpus{"request", runRequestScript},
                                           Corpus{"account_files", checkAccountFiles},
                                           Corpus{"catalog_file", checkCatalogFile},
                                           Corpus{"line_reader", checkLineReader}),
                         [](const auto& param) { return std::string(param.param.folder); });

}  // namespace
}  // namespace vextora::fuzz
