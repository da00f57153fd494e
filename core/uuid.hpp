#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// A 128-bit universally unique identifier. Random ones are version 4 (RFC 4122)
// drawn from the kernel's secure random source.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil UUID (all zero bits).
    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A fresh version 4 UUID from getrandom(2). Throws std::system_error if the
    // kernel refuses to give random bytes.
    static UUID random();
    // A version 4 UUID made from caller-supplied random bytes: the version and
    // variant bits are forced, the other 122 bits are taken as given.
    static UUID version4(Bytes randomBytes);
    // Parses the canonical 8-4-4-4-12 hexadecimal form, either case. Anything
    // else (braces, missing hyphens, surrounding spaces) gives nothing.
    static std::optional<UUID> parse(std::string_view text);

    // The canonical 36-character text in upper case, the form we store.
    std::string uuidString() const;

    const Bytes& bytes() const { return bytes_; }

    friend constexpr auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_{};
};

} // namespace tavelin

template <>
struct std::hash<tavelin::UUID> {
    std::size_t operator()(const tavelin::UUID& uuid) const noexcept;
};
