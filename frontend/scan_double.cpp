#include "frontend/scan_double.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>
#include <string_view>

namespace oscset::frontend {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// How many characters of `word` (lower case) start `p`, compared without regard to case.
std::size_t match_word(const char* p, std::string_view word) {
    std::size_t n = 0;
    while (n < word.size() && lower(p[n]) == word[n]) {
        ++n;
    }
    return n;
}

// The digits of a mantissa and its exponent, as scanned.
struct NumberText {
    std::string_view mantissa;  // digits with an optional point
    std::string_view exponent;  // digits after the exponent letter and sign
    bool exponent_negative = false;
    std::size_t length = 0;  // characters of the whole number, sign excluded
    bool complete = false;   // a whole number, not just the prefix of one
};

// Scans [digits][.digits] then, when `letter` follows a mantissa with a digit, an exponent.
NumberText scan_number(const char* p, bool hex, char letter) {
    NumberText n;
    const auto digit = hex ? is_hex_digit : is_digit;
    std::size_t i = 0;
    std::size_t digits = 0;
    while (digit(p[i])) {
        ++i;
        ++digits;
    }
    if (p[i] == '.') {
        ++i;
        while (digit(p[i])) {
            ++i;
            ++digits;
        }
    }
    n.mantissa = std::string_view(p, i);
    n.length = i;
    if (digits == 0) {
        return n;  // "", "." or "0x." are at best the start of a number
    }
    n.complete = true;
    if (lower(p[i]) == letter) {
        std::size_t j = i + 1;
        if (p[j] == '+' || p[j] == '-') {
            n.exponent_negative = p[j] == '-';
            ++j;
        }
        const std::size_t first = j;
        while (is_digit(p[j])) {
            ++j;
        }
        n.exponent = std::string_view(p + first, j - first);
        n.length = j;
        n.complete = j > first;  // "1e" or "1e+" cannot be pushed back: no number
    }
    return n;
}

// A value that from_chars found beyond the range of double: infinity or zero.
double out_of_range_value(const NumberText& n, int digit_bits) {
    // Position of the leading significant digit against the point, plus the exponent.
    long long magnitude = 0;
    bool seen_point = false;
    bool seen_significant = false;
    for (char c : n.mantissa) {
        if (c == '.') {
            seen_point = true;
        } else if (!seen_significant && c == '0') {
            if (seen_point) {
                magnitude -= digit_bits;
            }
        } else {
            seen_significant = true;
            if (!seen_point) {
                magnitude += digit_bits;
            }
        }
    }
    long long exponent = 0;
    for (char c : n.exponent) {
        exponent = std::min(exponent * 10 + (c - '0'), 1'000'000'000LL);
    }
    magnitude += n.exponent_negative ? -exponent : exponent;
    return magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

double convert(const NumberText& n, bool hex) {
    std::string_view whole(n.mantissa.data(), n.length);
    double value = 0.0;
    const auto format = hex ? std::chars_format::hex : std::chars_format::general;
    const auto [end, ec] =
        std::from_chars(whole.data(), whole.data() + whole.size(), value, format);
    if (ec == std::errc::result_out_of_range) {
        return out_of_range_value(n, hex ? 4 : 1);
    }
    (void)end;
    return value;
}

}  // namespace

int scan_double(const char* text, double* value) {
    const char* p = text;
    while (is_space(*p)) {
        ++p;
    }
    if (*p == '\0') {
        return -1;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    double magnitude = 0.0;
    if (const std::size_t inf = match_word(p, "infinity"); inf >= 3) {
        if (inf != 3 && inf != 8) {
            return 0;  // "infin" is only the start of "infinity"
        }
        magnitude = std::numeric_limits<double>::infinity();
    } else if (lower(p[0]) == 'i') {
        return 0;
    } else if (const std::size_t nan = match_word(p, "nan"); nan == 3) {
        if (p[3] == '(') {
            std::size_t i = 4;
            while (is_digit(p[i]) || (lower(p[i]) >= 'a' && lower(p[i]) <= 'z') || p[i] == '_') {
                ++i;
            }
            if (p[i] != ')') {
                return 0;  // "nan(" without its ")" is unfinished
            }
        }
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else if (nan > 0) {
        return 0;
    } else if (p[0] == '0' && lower(p[1]) == 'x') {
        const NumberText n = scan_number(p + 2, true, 'p');
        if (!n.complete) {
            return 0;
        }
        magnitude = convert(n, true);
    } else {
        const NumberText n = scan_number(p, false, 'e');
        if (!n.complete) {
            return 0;
        }
        magnitude = convert(n, false);
    }
    *value = negative ? -magnitude : magnitude;
    return 1;
}

}  // namespace oscset::frontend
