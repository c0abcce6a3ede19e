#include "server/payload_reader.h"

namespace vextora {

std::optional<std::uint8_t> PayloadReader::byte() {
    if (remaining() < 1) return std::nullopt;
    return payload_[position_++];
}

std::optional<std::uint32_t> PayloadReader::uint32() {
    if (remaining() < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | payload_[position_ + i];
    position_ += 4;
    return value;
}

std::optional<std::string_view> PayloadReader::text() {
    if (remaining() < 1) return std::nullopt;
    std::size_t length = payload_[position_];
    if (remaining() < 1 + length) return std::nullopt;
    auto start = reinterpret_cast<const char*>(payload_.data() + position_ + 1);
    position_ += 1 + length;
    return std::string_view(start, length);
}

std::string untilNul(std::string_view text) {
    auto end = text.find('\0');
    return std::string(end == std::string_view::npos ? text : text.substr(0, end));
}

void uppercaseInPlace(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

}  // namespace vextora
