// ScratchFolder: a data folder for one fuzzing process, nested a few levels
// deep inside a private temporary folder. The levels above it hold nothing
// but the next level, so anything the code under test writes outside its data
// folder shows up there and strayEntries() names it.
#pragma once

#include <string>

namespace vextora::fuzz {

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();  // removes everything, the levels above included
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& data() const { return data_; }
    // Empties the data folder (it stays).
    void clear() const;
    // Whole-file helpers; write creates the folders above the file.
    void write(const std::string& relative, const std::string& content) const;
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // Names the entries the data folder holds, one level, sorted.
    std::string listing(const std::string& relative = "") const;
    // Empty while nothing lies beside the data folder or the levels above it;
    // otherwise the stray paths, one a line.
    std::string strayEntries() const;

private:
    std::string base_;
    std::string data_;
};

}  // namespace vextora::fuzz
