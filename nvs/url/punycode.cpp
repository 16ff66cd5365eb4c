#include "nvs/url/punycode.h"

#include <cstdint>
#include <limits>

namespace nv::nvs {

namespace {

constexpr std::uint32_t base = 36;
constexpr std::uint32_t tmin = 1;
constexpr std::uint32_t tmax = 26;
constexpr std::uint32_t skew = 38;
constexpr std::uint32_t damp = 700;
constexpr std::uint32_t initial_bias = 72;
constexpr std::uint32_t initial_n = 128;
constexpr char delimiter = '-';
constexpr std::uint32_t maxint = std::numeric_limits<std::uint32_t>::max();

bool is_basic(std::uint32_t c) { return c < 0x80; }

// Digit value of a byte, or base when it is not a digit.
std::uint32_t decode_digit(char c)
{
    if (c >= '0' && c <= '9')
        return std::uint32_t(c - '0' + 26);
    if (c >= 'A' && c <= 'Z')
        return std::uint32_t(c - 'A');
    if (c >= 'a' && c <= 'z')
        return std::uint32_t(c - 'a');
    return base;
}

char encode_digit(std::uint32_t d)
{
    return d < 26 ? char('a' + d) : char('0' + (d - 26));
}

std::uint32_t threshold(std::uint32_t k, std::uint32_t bias)
{
    return k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
}

std::uint32_t adapt(std::uint32_t delta, std::uint32_t points, bool first)
{
    delta = first ? delta / damp : delta / 2;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((base - tmin) * tmax) / 2) {
        delta /= base - tmin;
        k += base;
    }
    return k + (base - tmin + 1) * delta / (delta + skew);
}

} // namespace

std::optional<std::u32string> punycode_decode(std::string_view input, std::size_t max_code_points)
{
    auto last = input.rfind(delimiter);
    std::size_t basic_count = last == std::string_view::npos ? 0 : last;
    if (basic_count > max_code_points)
        return std::nullopt;

    std::u32string output;
    output.reserve(basic_count);
    for (std::size_t j = 0; j < basic_count; ++j) {
        auto c = static_cast<unsigned char>(input[j]);
        if (!is_basic(c))
            return std::nullopt;
        output += char32_t(c);
    }

    std::uint32_t n = initial_n, i = 0, bias = initial_bias;
    for (std::size_t in = basic_count > 0 ? basic_count + 1 : 0; in < input.size();) {
        std::uint32_t old_i = i, w = 1;
        for (std::uint32_t k = base;; k += base) {
            if (in >= input.size())
                return std::nullopt;
            std::uint32_t digit = decode_digit(input[in++]);
            if (digit >= base || digit > (maxint - i) / w)
                return std::nullopt;
            i += digit * w;
            std::uint32_t t = threshold(k, bias);
            if (digit < t)
                break;
            if (w > maxint / (base - t))
                return std::nullopt;
            w *= base - t;
        }
        auto points = std::uint32_t(output.size() + 1);
        bias = adapt(i - old_i, points, old_i == 0);
        if (i / points > maxint - n)
            return std::nullopt;
        n += i / points;
        i %= points;
        if (output.size() >= max_code_points)
            return std::nullopt;
        output.insert(output.begin() + i, char32_t(n));
        ++i;
    }
    return output;
}

std::optional<std::string> punycode_encode(std::u32string_view input, std::size_t max_length)
{
    std::string output;
    for (char32_t c : input) {
        // Beyond Unicode the counters could wrap; no host label holds such a value.
        if (c > 0x10FFFF)
            return std::nullopt;
        if (is_basic(c))
            output += char(c);
    }
    if (output.size() > max_length)
        return std::nullopt;

    auto basic_count = std::uint32_t(output.size());
    std::uint32_t handled = basic_count;
    if (basic_count > 0) {
        if (output.size() >= max_length)
            return std::nullopt;
        output += delimiter;
    }

    std::uint32_t n = initial_n, delta = 0, bias = initial_bias;
    while (handled < input.size()) {
        std::uint32_t m = maxint;
        for (char32_t c : input)
            if (c >= n && c < m)
                m = c;
        if (m - n > (maxint - delta) / (handled + 1))
            return std::nullopt;
        delta += (m - n) * (handled + 1);
        n = m;
        for (char32_t c : input) {
            if (c < n && ++delta == 0)
                return std::nullopt;
            if (c != n)
                continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = base;; k += base) {
                if (output.size() >= max_length)
                    return std::nullopt;
                std::uint32_t t = threshold(k, bias);
                if (q < t)
                    break;
                output += encode_digit(t + (q - t) % (base - t));
                q = (q - t) / (base - t);
            }
            output += encode_digit(q);
            bias = adapt(delta, handled + 1, handled == basic_count);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return output;
}

} // namespace nv::nvs
