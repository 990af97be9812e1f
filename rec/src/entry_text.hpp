// The text of a session line's plain values, as the recorder's JSON encoder writes them: the
// pieces tiderec._capture's LineEncoder puts a line together from. Each appends to `out`.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

namespace tiderec::text {

// A text as a JSON string: the quote and the backslash escaped, the control characters below
// 0x20 as \b \t \n \f \r or \u00XX (lowercase hex); everything else, multi-byte UTF-8
// included, as it is.
inline void append_string(std::string& out, const char* s, size_t n) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    size_t run = 0;  // start of the bytes not yet copied
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(s + run, i - run);
        run = i + 1;
        out.push_back('\\');
        switch (c) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '\b': out.push_back('b'); break;
        case '\t': out.push_back('t'); break;
        case '\n': out.push_back('n'); break;
        case '\f': out.push_back('f'); break;
        case '\r': out.push_back('r'); break;
        default:
            out.append("u00", 3);
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    out.append(s + run, n - run);
    out.push_back('"');
}

inline void append_int(std::string& out, long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

inline void append_uint(std::string& out, unsigned long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// A finite double in the fewest digits that read back as the same double, laid out as the
// JSON encoder lays them out: with the first digit's decimal exponent k, positional when
// -5 <= k < 16 (an integral value ends in ".0": 1.0, 0.00001, 1000000000000000.0), else
// d[.ddd]e<k> (1e16, 2.5e-7, 1.7976931348623157e308).
inline void append_double_digits(std::string& out, double x);

// The common case of prices and amounts first: a value below 1e11 that is a decimal with at
// most four places. With r the nearest integer to x * 10^p, r / 10^p is (both exact, the
// division correctly rounded) the double nearest the decimal r * 10^-p, so when it is x the
// decimal reads back as x; the smallest such p gives the fewest digits, and at these
// magnitudes 10^-p is wider than x's rounding interval, so no other decimal of p places reads
// back as x. Such a value is at least 1e-4, so it is laid out positionally.
inline bool append_short_decimal(std::string& out, double x) {
    static const double scale[] = {1.0, 10.0, 100.0, 1000.0, 10000.0};
    const double a = x < 0 ? -x : x;
    if (!(a < 1e11))
        return false;
    for (int p = 0; p <= 4; ++p) {
        const double r = __builtin_nearbyint(a * scale[p]);
        if (r / scale[p] != a)
            continue;
        const auto units = static_cast<unsigned long long>(r);
        if (__builtin_signbit(x))
            out.push_back('-');
        char buf[24];
        const auto end = std::to_chars(buf, buf + sizeof buf, units).ptr;
        size_t n = static_cast<size_t>(end - buf);
        if (p == 0) {
            out.append(buf, n);
            out.append(".0", 2);
            return true;
        }
        const auto places = static_cast<size_t>(p);
        if (n <= places) {  // below 1: leading zeros after the point
            out.append("0.", 2);
            out.append(places - n, '0');
            out.append(buf, n);
        } else {
            out.append(buf, n - places);
            out.push_back('.');
            out.append(buf + n - places, places);
        }
        return true;
    }
    return false;
}

inline void append_double(std::string& out, double x) {
    if (!append_short_decimal(out, x))
        append_double_digits(out, x);
}

inline void append_double_digits(std::string& out, double x) {
    char buf[40];
    // Scientific form of the shortest round-trip digits: [-]d[.ddd]e(+|-)XX
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char* p = buf;
    const char* end = r.ptr;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[24];
    size_t nd = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.')
            digits[nd++] = *p;
    int k = 0;
    bool negative_exp = false;
    if (p < end) {  // at 'e'
        ++p;
        if (*p == '-' || *p == '+')
            negative_exp = *p++ == '-';
        for (; p < end; ++p)
            k = k * 10 + (*p - '0');
    }
    if (negative_exp)
        k = -k;
    while (nd > 1 && digits[nd - 1] == '0')
        --nd;
    if (nd == 1 && digits[0] == '0') {
        out.append("0.0", 3);
        return;
    }
    if (k >= -5 && k < 16) {
        if (k >= 0) {
            const size_t whole = static_cast<size_t>(k) + 1;
            if (nd <= whole) {
                out.append(digits, nd);
                out.append(whole - nd, '0');
                out.append(".0", 2);
            } else {
                out.append(digits, whole);
                out.push_back('.');
                out.append(digits + whole, nd - whole);
            }
        } else {
            out.append("0.", 2);
            out.append(static_cast<size_t>(-k - 1), '0');
            out.append(digits, nd);
        }
        return;
    }
    out.push_back(digits[0]);
    if (nd > 1) {
        out.push_back('.');
        out.append(digits + 1, nd - 1);
    }
    out.push_back('e');
    append_int(out, k);
}

// n as exactly `width` decimal digits (n < 10^width).
inline void append_digits(std::string& out, unsigned n, int width) {
    char buf[12];
    for (int i = width - 1; i >= 0; --i) {
        buf[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    out.append(buf, static_cast<size_t>(width));
}

}  // namespace tiderec::text
