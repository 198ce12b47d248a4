#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessarine {

// A 128-bit identifier (tablets identify themselves with one). Its text form
// is 36 characters, upper-case hex in 8-4-4-4-12 groups; parsing also accepts
// lower-case digits.
class Uuid {
public:
    Uuid() = default;
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    static std::optional<Uuid> parse(std::string_view text);
    // A random (version 4) identifier from the system's CSPRNG.
    static Uuid random();

    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    auto operator<=>(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace tessarine

template <> struct std::hash<tessarine::Uuid> {
    std::size_t operator()(const tessarine::Uuid& id) const noexcept {
        std::size_t h = 0;
        for (auto b : id.bytes())
            h = h * 131 + b;
        return h;
    }
};
