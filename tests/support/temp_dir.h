// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes away.
#pragma once

#include <filesystem>
#include <string>

namespace vextora::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

    // Whole-file helpers for the tests' own checks and set-up.
    void write(const std::string& relative, const std::string& content) const;
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;

private:
    std::filesystem::path path_;
};

// A listing of every entry below `root` with the SHA-256 of each file, one
// line each, sorted: equal before and after means nothing was touched.
std::string treeFingerprint(const std::filesystem::path& root);

std::string sha256File(const std::filesystem::path& file);

}  // namespace vextora::test
