#include "scratch_folder.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace vextora::fuzz {

namespace fs = std::filesystem;

namespace {

// Deep enough that a name climbing out with "..\" a few times still lands
// inside the private folder, where strayEntries() sees it.
constexpr const char* LEVELS[] = {"l1", "l2", "l3", "l4"};

}  // namespace

ScratchFolder::ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "vextora-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    base_ = pattern;
    fs::path data = base_;
    for (const char* level : LEVELS) data /= level;
    data /= "data";
    fs::create_directories(data);
    data_ = data.string();
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
}

void ScratchFolder::clear() const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(data_, ignored)) fs::remove_all(entry, ignored);
}

void ScratchFolder::write(const std::string& relative, const std::string& content) const {
    fs::path target = fs::path(data_) / relative;
    std::error_code ignored;
    fs::create_directories(target.parent_path(), ignored);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ScratchFolder::read(const std::string& relative) const {
    std::ifstream in(fs::path(data_) / relative, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ScratchFolder::exists(const std::string& relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(fs::path(data_) / relative, ignored));
}

std::string ScratchFolder::listing(const std::string& relative) const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fs::path(data_) / relative, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string all;
    for (const auto& name : names) all += name + "\n";
    return all;
}

std::string ScratchFolder::strayEntries() const {
    std::string stray;
    fs::path level = base_;
    std::vector<std::string> expected(std::begin(LEVELS), std::end(LEVELS));
    expected.push_back("data");
    for (const auto& next : expected) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(level, ignored)) {
            if (entry.path().filename() != next) stray += entry.path().string() + "\n";
        }
        level /= next;
    }
    return stray;
}

}  // namespace vextora::fuzz
