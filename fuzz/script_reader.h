// ScriptReader: takes a fuzzer's input apart, front to back. Every read past
// the end yields zeros or an empty run, so any byte string is a valid script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vextora::fuzz {

class ScriptReader {
public:
    explicit ScriptReader(std::span<const std::uint8_t> data) : data_(data) {}

    bool done() const { return position_ >= data_.size(); }
    std::uint8_t byte() { return done() ? 0 : data_[position_++]; }
    std::uint16_t uint16() {
        std::uint16_t high = byte();
        return static_cast<std::uint16_t>(high << 8 | byte());
    }
    // Up to `length` bytes, fewer when the input ends first.
    std::string bytes(std::size_t length) {
        std::size_t take = std::min(length, data_.size() - std::min(position_, data_.size()));
        std::string run(reinterpret_cast<const char*>(data_.data()) + position_, take);
        position_ += take;
        return run;
    }
    std::string text8() { return bytes(byte()); }
    std::string text16() { return bytes(uint16()); }
    std::string rest() { return bytes(data_.size()); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

}  // namespace vextora::fuzz
