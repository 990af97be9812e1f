// The text of a session line's plain values, as the recorder's JSON encoder writes them: the
// pieces tiderec._capture's LineEncoder puts a line together from. Each appends to `out`.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace tiderec::text {

// The bytes of the lines being made: a growable array written through a cursor, so that small
// pieces cost a store, not a library call. Invariant: size_ <= cap_, and p_ holds cap_ bytes
// (nullptr when cap_ is 0). Growing throws std::bad_alloc, which the methods of the encoder
// that use it turn into MemoryError before returning to the interpreter.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(p_); }
    void swap(Buffer& other) noexcept {
        std::swap(p_, other.p_);
        std::swap(size_, other.size_);
        std::swap(cap_, other.cap_);
    }

    size_t size() const { return size_; }
    size_t capacity() const { return cap_; }
    const char* data() const { return p_; }
    char* at(size_t i) { return p_ + i; }  // a byte already written, to be written over
    void clear() { size_ = 0; }
    void resize(size_t n) { size_ = n < size_ ? n : size_; }  // shrinks only
    // Room for n more bytes; write them at the pointer returned, then commit what was written.
    char* room(size_t n) {
        if (cap_ - size_ < n)
            grow(n);
        return p_ + size_;
    }
    void commit(size_t n) { size_ += n; }
    void push_back(char c) {
        *room(1) = c;
        ++size_;
    }
    void append(const char* s, size_t n) {
        std::memcpy(room(n), s, n);
        size_ += n;
    }
    void append(size_t n, char c) {
        std::memset(room(n), c, n);
        size_ += n;
    }
    Buffer& operator+=(const std::string& s) {
        append(s.data(), s.size());
        return *this;
    }
    template <size_t N>
    Buffer& operator+=(const char (&literal)[N]) {
        append(literal, N - 1);
        return *this;
    }
    // Gives the memory back when it has grown beyond `keep` bytes.
    void trim(size_t keep) {
        if (cap_ > keep) {
            std::free(p_);
            p_ = nullptr;
            cap_ = size_ = 0;
        }
    }

private:
    void grow(size_t n) {
        size_t cap = cap_ < 256 ? 256 : cap_;
        while (cap - size_ < n)
            cap *= 2;
        void* p = std::realloc(p_, cap);
        if (p == nullptr)
            throw std::bad_alloc();
        p_ = static_cast<char*>(p);
        cap_ = cap;
    }

    char* p_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// Whether any of the eight bytes in x is below 0x20, a quote or a backslash (each test is
// exact for the word as a whole: a byte of 0x80 or more never counts as below 0x20).
inline bool needs_escape(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    const auto has_zero = [](uint64_t v) { return (v - ones) & ~v & highs; };
    return (((x - ones * 0x20) & ~x & highs) | has_zero(x ^ (ones * '"')) |
            has_zero(x ^ (ones * '\\'))) != 0;
}

// A text as a JSON string: the quote and the backslash escaped, the control characters below
// 0x20 as \b \t \n \f \r or \u00XX (lowercase hex); everything else, multi-byte UTF-8
// included, as it is.
// Room for the worst case (each byte as \u00XX) is taken once for a piece of up to 1 KiB.
inline void append_string(Buffer& out, const char* s, size_t n) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (size_t done = 0; done < n;) {
        const size_t piece = n - done < 1024 ? n - done : 1024;
        char* const start = out.room(piece * 6);
        char* w = start;
        size_t i = done;
        // Eight bytes at a time while none of them needs escaping (no byte below 0x20, no
        // quote, no backslash): the common text is copied as it is.
        const size_t end = done + piece;
        for (; i + 8 <= end; i += 8) {
            uint64_t x;
            std::memcpy(&x, s + i, 8);
            if (needs_escape(x))
                break;
            std::memcpy(w, &x, 8);
            w += 8;
        }
        if (i < end && end - i < 8 && i >= done + 8) {
            // The last few bytes (the eight bytes at a time reached them), as the eight that
            // end the piece: the first of those were copied as they are, so they are written
            // again where they were.
            uint64_t x;
            std::memcpy(&x, s + end - 8, 8);
            if (!needs_escape(x)) {
                std::memcpy(w - (8 - (end - i)), &x, 8);
                w += end - i;
                i = end;
            }
        }
        for (; i < end; ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != '"' && c != '\\') {
                *w++ = static_cast<char>(c);
                continue;
            }
            *w++ = '\\';
            switch (c) {
            case '"': *w++ = '"'; break;
            case '\\': *w++ = '\\'; break;
            case '\b': *w++ = 'b'; break;
            case '\t': *w++ = 't'; break;
            case '\n': *w++ = 'n'; break;
            case '\f': *w++ = 'f'; break;
            case '\r': *w++ = 'r'; break;
            default:
                *w++ = 'u';
                *w++ = '0';
                *w++ = '0';
                *w++ = hex[c >> 4];
                *w++ = hex[c & 15];
            }
        }
        out.commit(static_cast<size_t>(w - start));
        done += piece;
    }
    out.push_back('"');
}

// Two decimal digits at a time: the text of 0..99 at twice the number.
inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of v written backwards so that they end at `end`; returns where they
// begin (at most 20 bytes before `end`).
inline char* digits_before(char* end, unsigned long long v) {
    while (v >= (1ull << 32)) {  // the wide part in 64-bit steps, the rest in cheaper 32-bit ones
        const auto pair = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        end -= 2;
        end[0] = digit_pairs[pair];
        end[1] = digit_pairs[pair + 1];
    }
    auto u = static_cast<unsigned>(v);
    while (u >= 100) {
        const unsigned pair = (u % 100) * 2;
        u /= 100;
        end -= 2;
        end[0] = digit_pairs[pair];
        end[1] = digit_pairs[pair + 1];
    }
    if (u >= 10) {
        end -= 2;
        end[0] = digit_pairs[u * 2];
        end[1] = digit_pairs[u * 2 + 1];
    } else {
        *--end = static_cast<char>('0' + u);
    }
    return end;
}

// Copies n <= 24 bytes from `from` to w as three 8-byte moves: `from` must have 24 bytes to
// read and w 24 to write (what lies past n is overwritten later or left unused).
inline void copy24(char* w, const char* from) { std::memcpy(w, from, 24); }

// Room a writer below needs at its pointer, beyond what it keeps.
constexpr size_t write_slack = 64;

// The digits of v at w (write_slack bytes of room); returns the end.
inline char* write_uint(char* w, unsigned long long v) {
    if (v < 100) {  // volumes, counts, codes: one or two digits at once
        w[0] = digit_pairs[v * 2];
        w[1] = digit_pairs[v * 2 + 1];
        return v < 10 ? (w[0] = w[1], w + 1) : w + 2;
    }
    if (v < 10000) {  // three or four digits: two pairs
        const auto high = static_cast<unsigned>(v / 100), low = static_cast<unsigned>(v % 100);
        if (high < 10) {
            w[0] = static_cast<char>('0' + high);
            w[1] = digit_pairs[low * 2];
            w[2] = digit_pairs[low * 2 + 1];
            return w + 3;
        }
        w[0] = digit_pairs[high * 2];
        w[1] = digit_pairs[high * 2 + 1];
        w[2] = digit_pairs[low * 2];
        w[3] = digit_pairs[low * 2 + 1];
        return w + 4;
    }
    char buf[48];
    char* end = buf + 24;
    const char* first = digits_before(end, v);
    copy24(w, first);
    return w + (end - first);
}

inline char* write_int(char* w, long long v) {
    auto u = static_cast<unsigned long long>(v);
    if (v < 0) {
        *w++ = '-';
        u = 0 - u;
    }
    return write_uint(w, u);
}

inline void append_uint(Buffer& out, unsigned long long v) {
    char* w = out.room(write_slack);
    out.commit(static_cast<size_t>(write_uint(w, v) - w));
}

inline void append_int(Buffer& out, long long v) {
    char* w = out.room(write_slack);
    out.commit(static_cast<size_t>(write_int(w, v) - w));
}

// A finite double in the fewest digits that read back as the same double, laid out as the
// JSON encoder lays them out: with the first digit's decimal exponent k, positional when
// -5 <= k < 16 (an integral value ends in ".0": 1.0, 0.00001, 1000000000000000.0), else
// d[.ddd]e<k> (1e16, 2.5e-7, 1.7976931348623157e308).
inline void append_double_digits(Buffer& out, double x);

// The common case of prices and amounts first: a value below 1e11 that is a decimal with at
// most four places. With r an integer nearest to x * 10^p, r / 10^p is (both exact, the
// division correctly rounded) the double nearest the decimal r * 10^-p, so when it is x the
// decimal reads back as x; the smallest such p gives the fewest digits, and at these
// magnitudes 10^-p is wider than x's rounding interval, so no other decimal of p places reads
// back as x. Such a value is at least 1e-4, so it is laid out positionally.
// One test at p = 4 decides for every p: a decimal of fewer places is also one of four (its r
// times a power of ten, which x * 10^4 rounds to, its error being far below a half), and the
// unique decimal of four places found is written without the trailing zeros of its fraction,
// which is the smallest p's text.
// Written at w (write_slack bytes of room): returns the end, or nullptr when x is not such a
// value (nothing written).
inline char* write_short_decimal(char* w, double x) {
    const double a = x < 0 ? -x : x;
    if (!(a < 1e11))
        return nullptr;
    // (a * 10^4 < 1e15: the sum and both conversions are exact but for the rounding of a
    // half, and a half is never a match, whichever way it goes)
    const auto r = static_cast<unsigned long long>(static_cast<long long>(a * 10000.0 + 0.5));
    if (static_cast<double>(static_cast<long long>(r)) / 10000.0 != a)  // (r < 2^63: signed)
        return nullptr;
    if (__builtin_signbit(x))
        *w++ = '-';
    const unsigned long long whole = r / 10000;
    const auto fraction = static_cast<unsigned>(r - whole * 10000);
    w = write_uint(w, whole);
    *w++ = '.';
    if (fraction == 0) {
        *w++ = '0';
        return w;
    }
    // the four places, then as many left off as end in zeros
    const unsigned high = fraction / 100, low = fraction % 100;
    w[0] = digit_pairs[high * 2];
    w[1] = digit_pairs[high * 2 + 1];
    w[2] = digit_pairs[low * 2];
    w[3] = digit_pairs[low * 2 + 1];
    if (low == 0)
        return w + (high % 10 == 0 ? 1 : 2);
    return w + (low % 10 == 0 ? 3 : 4);
}

// The same, appended to `out`: false when x is not such a value.
inline bool append_short_decimal(Buffer& out, double x) {
    char* w = out.room(write_slack);
    char* end = write_short_decimal(w, x);
    if (end == nullptr)
        return false;
    out.commit(static_cast<size_t>(end - w));
    return true;
}

inline void append_double(Buffer& out, double x) {
    if (!append_short_decimal(out, x))
        append_double_digits(out, x);
}

// The digits of append_double_digits at w (write_slack bytes of room; at most 24 are written):
// returns the end.
inline char* write_double_digits(char* w, double x) {
    char buf[40];
    // Scientific form of the shortest round-trip digits: [-]d[.ddd]e(+|-)XX
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char* p = buf;
    const char* end = r.ptr;
    if (*p == '-') {
        *w++ = '-';
        ++p;
    }
    char digits[24] = {};
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
    if (nd == 0 || (nd == 1 && digits[0] == '0')) {
        std::memcpy(w, "0.0", 3);
        return w + 3;
    }
    if (k >= -5 && k < 16) {
        if (k >= 0) {
            const size_t whole = static_cast<size_t>(k) + 1;
            if (nd <= whole) {
                std::memcpy(w, digits, nd);
                std::memset(w + nd, '0', whole - nd);
                w += whole;
                std::memcpy(w, ".0", 2);
                return w + 2;
            }
            std::memcpy(w, digits, whole);
            w[whole] = '.';
            std::memcpy(w + whole + 1, digits + whole, nd - whole);
            return w + nd + 1;
        }
        std::memcpy(w, "0.", 2);
        w += 2;
        std::memset(w, '0', static_cast<size_t>(-k - 1));
        w += -k - 1;
        std::memcpy(w, digits, nd);
        return w + nd;
    }
    *w++ = digits[0];
    if (nd > 1) {
        *w++ = '.';
        std::memcpy(w, digits + 1, nd - 1);
        w += nd - 1;
    }
    *w++ = 'e';
    return write_int(w, k);
}

inline void append_double_digits(Buffer& out, double x) {
    char* w = out.room(write_slack);
    out.commit(static_cast<size_t>(write_double_digits(w, x) - w));
}

// A double as the line has it: finite ones in their shortest digits, the others as tags.
inline void append_float(Buffer& out, double x) {
    if (std::isfinite(x)) {
        append_double(out, x);
        return;
    }
    out += std::isnan(x) ? R"({"$float":"nan"})" : x > 0 ? R"({"$float":"inf"})" : R"({"$float":"-inf"})";
}

// ---------------------------------------------------------------------------------------------
// Numbers left as holes. While a line is made under the interpreter's lock, a number may be
// written as a hole: the byte hole_mark, a kind byte, and the number's 8 bytes as the machine
// holds them; `finish` replaces each hole by the number's text later, without the lock. A
// line's JSON text never holds the byte 0x01 itself (texts escape every byte below 0x20), so a
// hole cannot be mistaken for text; the 8 bytes of a number may hold any byte, a newline
// included, so text with holes is read hole by hole, never split at its newlines, until it
// is finished.
constexpr char hole_mark = '\x01';
constexpr char hole_double = 'd';
constexpr char hole_int = 'i';
constexpr size_t hole_size = 10;

inline char* write_double_hole(char* w, double x) {
    w[0] = hole_mark;
    w[1] = hole_double;
    std::memcpy(w + 2, &x, 8);
    return w + hole_size;
}

inline char* write_int_hole(char* w, long long x) {
    w[0] = hole_mark;
    w[1] = hole_int;
    std::memcpy(w + 2, &x, 8);
    return w + hole_size;
}

// Whether s[0..n) holds a hole.
inline bool has_holes(const char* s, size_t n) { return std::memchr(s, hole_mark, n) != nullptr; }

// A double as the line has it, at w (write_slack bytes of room): returns the end.
inline char* write_float(char* w, double x) {
    if (std::isfinite(x)) {
        char* end = write_short_decimal(w, x);
        return end != nullptr ? end : write_double_digits(w, x);
    }
    static constexpr char nan[] = R"({"$float":"nan"})", inf[] = R"({"$float":"inf"})",
                          minus_inf[] = R"({"$float":"-inf"})";
    if (std::isnan(x)) {
        std::memcpy(w, nan, sizeof nan - 1);
        return w + sizeof nan - 1;
    }
    if (x > 0) {
        std::memcpy(w, inf, sizeof inf - 1);
        return w + sizeof inf - 1;
    }
    std::memcpy(w, minus_inf, sizeof minus_inf - 1);
    return w + sizeof minus_inf - 1;
}

// The bytes of s[0..end) up to the first mark (or the end) copied to w, 8 at a time (w has 8
// bytes of room beyond what is copied): returns where the copy stopped in s, and w is moved
// to where it stopped there.
inline const char* copy_to_mark(char*& w, const char* s, const char* end) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    while (end - s >= 8) {
        uint64_t x;
        std::memcpy(&x, s, 8);
        std::memcpy(w, s, 8);
        const uint64_t t = x ^ ones * static_cast<unsigned char>(hole_mark);
        const uint64_t found = (t - ones) & ~t & highs;  // its lowest bit: the first mark byte
        if (found != 0) {
            const auto k = static_cast<size_t>(__builtin_ctzll(found) >> 3);  // little-endian
            w += k;
            return s + k;
        }
        w += 8;
        s += 8;
    }
    while (s < end && *s != hole_mark)
        *w++ = *s++;
    return s;
}

// s[0..n) appended to `out` with each hole replaced by its number's text. A mark byte that does
// not begin a whole hole of a known kind (text that was never made with holes) is copied as it
// is, so any input gives some output and nothing is read beyond s + n.
inline void append_finished(Buffer& out, const char* s, size_t n) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "copy_to_mark reads little-endian words");
    // A hole's 10 bytes become at most 24 (a double's longest text), text stays as it is.
    char* const start = out.room(n * 3 + write_slack);
    char* w = start;
    const char* const end = s + n;
    while (s < end) {
        s = copy_to_mark(w, s, end);
        if (s == end)
            break;
        if (static_cast<size_t>(end - s) < hole_size || (s[1] != hole_double && s[1] != hole_int)) {
            *w++ = *s++;  // not a hole: the byte as it is
            continue;
        }
        if (s[1] == hole_double) {
            double x;
            std::memcpy(&x, s + 2, 8);
            w = write_float(w, x);
        } else {
            long long x;
            std::memcpy(&x, s + 2, 8);
            w = write_int(w, x);
        }
        s += hole_size;
    }
    out.commit(static_cast<size_t>(w - start));
}

// n as exactly `width` decimal digits (n < 10^width) at w; returns the end.
inline char* write_digits(char* w, unsigned n, int width) {
    for (int i = width - 1; i >= 0; --i) {
        w[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    return w + width;
}

// n as exactly `width` decimal digits (n < 10^width).
inline void append_digits(Buffer& out, unsigned n, int width) {
    char* w = out.room(static_cast<size_t>(width));
    out.commit(static_cast<size_t>(write_digits(w, n, width) - w));
}

}  // namespace tiderec::text
