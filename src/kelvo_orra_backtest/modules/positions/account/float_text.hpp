// The text of a double as the host prints it (its repr): the shortest digit
// string that reads back as the same double, in fixed notation when the
// decimal exponent is from -4 to 16 (with ".0" added to whole numbers), in
// scientific notation with a signed two-digit-minimum exponent otherwise.
#pragma once

#include <charconv>
#include <cmath>
#include <cstring>

namespace kob::text {

// Writes the text into `out` (at least 32 bytes) and returns its length.
inline int float_repr(double d, char* out) {
    char* p = out;
    if (std::isnan(d)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    if (std::signbit(d)) *p++ = '-';
    if (std::isinf(d)) {
        std::memcpy(p, "inf", 3);
        return static_cast<int>(p - out) + 3;
    }
    char buf[48];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::scientific);
    // buf holds D[.DDD]e(+|-)XX
    char digits[24];
    int nd = 0;
    const char* q = buf;
    for (; q < r.ptr && *q != 'e'; ++q)
        if (*q != '.') digits[nd++] = *q;
    int exp = 0;
    bool neg = false;
    if (q < r.ptr) {
        ++q;
        if (*q == '-' || *q == '+') neg = *q++ == '-';
        for (; q < r.ptr; ++q) exp = exp * 10 + (*q - '0');
    }
    if (neg) exp = -exp;
    const int decpt = exp + 1;  // digits are 0.DDD × 10**decpt
    if (decpt <= -4 || decpt > 16) {
        *p++ = digits[0];
        if (nd > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<size_t>(nd - 1));
            p += nd - 1;
        }
        *p++ = 'e';
        *p++ = exp < 0 ? '-' : '+';
        int e = exp < 0 ? -exp : exp;
        char eb[4];
        int ne = 0;
        do {
            eb[ne++] = static_cast<char>('0' + e % 10);
            e /= 10;
        } while (e);
        if (ne < 2) eb[ne++] = '0';
        while (ne) *p++ = eb[--ne];
    } else if (decpt <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int k = 0; k < -decpt; ++k) *p++ = '0';
        std::memcpy(p, digits, static_cast<size_t>(nd));
        p += nd;
    } else if (decpt >= nd) {
        std::memcpy(p, digits, static_cast<size_t>(nd));
        p += nd;
        for (int k = nd; k < decpt; ++k) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
    } else {
        std::memcpy(p, digits, static_cast<size_t>(decpt));
        p += decpt;
        *p++ = '.';
        std::memcpy(p, digits + decpt, static_cast<size_t>(nd - decpt));
        p += nd - decpt;
    }
    return static_cast<int>(p - out);
}

}  // namespace kob::text
