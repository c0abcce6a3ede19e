#include "support/temp_dir.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace vextora::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vextora-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    path_ = made ? fs::path(made) : fs::path(pattern);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void TempDir::write(const std::string& relative, const std::string& content) const {
    fs::path target = path_ / relative;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempDir::read(const std::string& relative) const {
    std::ifstream in(path_ / relative, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool TempDir::exists(const std::string& relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path_ / relative, ignored));
}

std::string treeFingerprint(const fs::path& root) {
    std::vector<std::string> lines;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string line = fs::relative(it->path(), root).string();
        if (it->is_regular_file()) {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            // FNV-1a: cheap, and any change to these small files shows.
            std::uint64_t hash = 1469598103934665603ull;
            for (unsigned char c : content.str()) hash = (hash ^ c) * 1099511628211ull;
            line += " " + std::to_string(content.str().size()) + " " + std::to_string(hash);
        } else if (it->is_directory()) {
            line += "/";
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const auto& line : lines) all += line + "\n";
    return all;
}

std::string sha256File(const fs::path& file) {
    std::string command = "sha256sum '" + file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    char digest[65] = {};
    size_t got = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(digest, got);
}

}  // namespace vextora::test
