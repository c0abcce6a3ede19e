// PayloadReader: reads the fields of one request payload.
//
// Every read checks the bytes left first; a field that would run past the end
// fails and consumes nothing, so no handler ever reads beyond what arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vextora {

class PayloadReader {
public:
    explicit PayloadReader(std::span<const std::uint8_t> payload) : payload_(payload) {}

    std::optional<std::uint8_t> byte();
    std::optional<std::uint32_t> uint32();   // big-endian
    std::optional<std::string_view> text();  // length byte, then bytes; views the payload
    std::size_t remaining() const { return payload_.size() - position_; }

private:
    std::span<const std::uint8_t> payload_;
    std::size_t position_ = 0;
};

// The text as a C string would hold it: cut at the first NUL byte. Names and
// passwords from clients are taken this way.
std::string untilNul(std::string_view text);

// Turns a to z into A to Z, in place; every other byte stays.
void uppercaseInPlace(std::string& text);

}  // namespace vextora
