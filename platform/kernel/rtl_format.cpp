// The printf family and bounded string copies. One formatter body serves the
// narrow (A) and wide (W) variants; it writes into the caller's buffer and
// never past count - 1 characters plus the terminator.
#include <climits>

#include "nt/rtl.h"

namespace {

// Output sink over the caller's buffer. cap counts the terminator.
template <typename Ch>
struct Sink {
    Ch* dest;
    size_t cap;
    size_t len = 0;
    bool overflow = false;

    void Put(Ch c) {
        if (len + 1 < cap) {
            dest[len++] = c;
        } else {
            overflow = true;
        }
    }
    void Repeat(Ch c, long n) {
        for (; n > 0 && !overflow; --n) Put(c);
    }
    void Finish() { dest[len] = 0; }
};

// One parsed conversion directive (flags, width, precision, type).
struct Spec {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    long width = 0;
    long precision = -1;  // -1: none given
    int bits = 32;        // integer argument width
    int charWidth = 0;    // 1 narrow, 2 wide, 0 the variant's default
    char conv = 0;
};

template <typename Ch>
bool IsDigit(Ch c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number or '*', saturating at LONG_MAX / 2.
template <typename Ch>
long ReadCount(const Ch*& f, va_list* args) {
    if (*f == '*') {
        ++f;
        return va_arg(*args, int);
    }
    long n = 0;
    while (IsDigit(*f)) {
        if (n < LONG_MAX / 20) n = n * 10 + (*f - '0');
        ++f;
    }
    return n;
}

template <typename Ch>
void ReadFlags(const Ch*& f, Spec& s) {
    for (;; ++f) {
        switch (*f) {
            case '-': s.left = true; break;
            case '0': s.zero = true; break;
            case '+': s.plus = true; break;
            case ' ': s.space = true; break;
            case '#': s.alt = true; break;
            default: return;
        }
    }
}

template <typename Ch>
bool Matches(const Ch* f, const char* text) {
    for (; *text; ++text, ++f)
        if (*f != static_cast<Ch>(*text)) return false;
    return true;
}

// Size prefixes: h, hh, l, ll, I, I32, I64, z, w.
template <typename Ch>
void ReadSize(const Ch*& f, Spec& s) {
    if (Matches(f, "I64")) { s.bits = 64; f += 3; return; }
    if (Matches(f, "I32")) { s.bits = 32; f += 3; return; }
    if (Matches(f, "ll")) { s.bits = 64; f += 2; return; }
    if (Matches(f, "hh")) { s.bits = 8; f += 2; return; }
    switch (*f) {
        case 'I': s.bits = 64; ++f; return;
        case 'z': s.bits = 64; ++f; return;
        case 'l': s.bits = 32; s.charWidth = 2; ++f; return;  // LONG is 32 bits
        case 'h': s.bits = 16; s.charWidth = 1; ++f; return;
        case 'w': s.charWidth = 2; ++f; return;
        default: return;
    }
}

// Parses what follows a '%'. Returns false for an unknown conversion.
template <typename Ch>
bool ParseSpec(const Ch*& f, va_list* args, Spec& s) {
    ReadFlags(f, s);
    s.width = ReadCount(f, args);
    if (s.width < 0) {
        s.left = true;
        s.width = -s.width;
    }
    if (*f == '.') {
        ++f;
        s.precision = ReadCount(f, args);
        if (s.precision < 0) s.precision = -1;
    }
    ReadSize(f, s);
    Ch c = *f;
    if (c == 0) return false;
    ++f;
    static const char kKnown[] = "diuxXopcCsS%";
    for (const char* k = kKnown; *k; ++k) {
        if (static_cast<Ch>(*k) == c) {
            s.conv = *k;
            return true;
        }
    }
    return false;
}

template <typename Ch>
void PadField(Sink<Ch>& out, const Spec& s, size_t used, bool before) {
    long pad = s.width - static_cast<long>(used);
    if (pad > 0 && before != s.left) out.Repeat(' ', pad);
}

template <typename Ch>
void EmitInteger(Sink<Ch>& out, const Spec& s, ULONGLONG magnitude, bool negative) {
    char digits[72];
    int n = 0;
    unsigned base = (s.conv == 'x' || s.conv == 'X' || s.conv == 'p') ? 16 : s.conv == 'o' ? 8 : 10;
    const char* set = (s.conv == 'x') ? "0123456789abcdef" : "0123456789ABCDEF";
    for (ULONGLONG v = magnitude; v != 0; v /= base) digits[n++] = set[v % base];
    long precision = s.precision;
    if (s.conv == 'p') precision = 16;
    if (precision < 0) precision = 1;
    if (s.alt && base == 8 && precision <= n) precision = n + 1;

    char prefix[3] = {0, 0, 0};
    if (negative) {
        prefix[0] = '-';
    } else if (s.conv == 'd' || s.conv == 'i') {
        if (s.plus) prefix[0] = '+';
        else if (s.space) prefix[0] = ' ';
    }
    if (s.alt && base == 16 && s.conv != 'p' && magnitude != 0) {
        prefix[0] = '0';
        prefix[1] = s.conv;
    }
    long prefixLen = static_cast<long>(__builtin_strlen(prefix));
    long zeros = precision > n ? precision - n : 0;
    long body = prefixLen + zeros + n;
    if (s.zero && !s.left && s.precision < 0 && s.conv != 'p' && s.width > body) {
        zeros += s.width - body;
        body = s.width;
    }
    PadField(out, s, static_cast<size_t>(body), true);
    for (long i = 0; i < prefixLen; ++i) out.Put(prefix[i]);
    out.Repeat('0', zeros);
    while (n > 0) out.Put(digits[--n]);
    PadField(out, s, static_cast<size_t>(body), false);
}

template <typename Ch>
void FormatInteger(Sink<Ch>& out, const Spec& s, va_list* args) {
    if (s.conv == 'p') {
        EmitInteger(out, s, reinterpret_cast<uintptr_t>(va_arg(*args, void*)), false);
        return;
    }
    bool isSigned = s.conv == 'd' || s.conv == 'i';
    LONGLONG value;
    if (s.bits == 64) {
        value = va_arg(*args, long long);
    } else {
        value = va_arg(*args, int);
    }
    if (isSigned) {
        if (s.bits == 16) value = static_cast<SHORT>(value);
        if (s.bits == 8) value = static_cast<signed char>(value);
        bool negative = value < 0;
        ULONGLONG magnitude = negative ? 0 - static_cast<ULONGLONG>(value) : static_cast<ULONGLONG>(value);
        EmitInteger(out, s, magnitude, negative);
        return;
    }
    ULONGLONG u = static_cast<ULONGLONG>(value);
    if (s.bits == 32) u &= 0xFFFFFFFFull;
    if (s.bits == 16) u &= 0xFFFFull;
    if (s.bits == 8) u &= 0xFFull;
    EmitInteger(out, s, u, false);
}

// Converts one code unit of the argument's width into the output width.
template <typename Ch, typename Src>
Ch ConvertUnit(Src c) {
    if (sizeof(Ch) == 1 && sizeof(Src) > 1 && static_cast<unsigned>(c) > 0xFF) return static_cast<Ch>('?');
    if (sizeof(Src) == 1) return static_cast<Ch>(static_cast<unsigned char>(c));
    return static_cast<Ch>(c);
}

template <typename Ch, typename Src>
void EmitText(Sink<Ch>& out, const Spec& s, const Src* text) {
    if (text == nullptr) {
        EmitText(out, s, "(null)");
        return;
    }
    size_t n = 0;
    while (text[n] != 0 && (s.precision < 0 || n < static_cast<size_t>(s.precision))) ++n;
    PadField(out, s, n, true);
    for (size_t i = 0; i < n && !out.overflow; ++i) out.Put(ConvertUnit<Ch>(text[i]));
    PadField(out, s, n, false);
}

// Wide when asked for explicitly, or by the variant's default for 's'/'c'
// (W: wide, A: narrow), with 'S'/'C' the opposite of the default.
template <typename Ch>
bool WantsWide(const Spec& s) {
    if (s.charWidth != 0) return s.charWidth == 2;
    bool upper = s.conv == 'S' || s.conv == 'C';
    bool wideVariant = sizeof(Ch) == 2;
    return upper ? !wideVariant : wideVariant;
}

template <typename Ch>
void FormatText(Sink<Ch>& out, const Spec& s, va_list* args) {
    bool wide = WantsWide<Ch>(s);
    if (s.conv == 'c' || s.conv == 'C') {
        int c = va_arg(*args, int);
        WCHAR w[2] = {static_cast<WCHAR>(c), 0};
        char n[2] = {static_cast<char>(c), 0};
        if (wide) EmitText(out, s, w);
        else EmitText(out, s, n);
        return;
    }
    if (wide) EmitText(out, s, va_arg(*args, const WCHAR*));
    else EmitText(out, s, va_arg(*args, const char*));
}

template <typename Ch>
NTSTATUS FormatInto(Sink<Ch>& out, const Ch* f, va_list* args) {
    while (*f && !out.overflow) {
        if (*f != '%') {
            out.Put(*f++);
            continue;
        }
        ++f;
        Spec s;
        if (!ParseSpec(f, args, s)) return STATUS_INVALID_PARAMETER;
        if (s.conv == '%') {
            out.Put('%');
        } else if (s.conv == 's' || s.conv == 'S' || s.conv == 'c' || s.conv == 'C') {
            FormatText(out, s, args);
        } else {
            FormatInteger(out, s, args);
        }
    }
    return out.overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Ch>
NTSTATUS CheckDest(Ch* dest, size_t cch) {
    if (dest == nullptr || cch == 0) return STATUS_INVALID_PARAMETER;
    if (cch > NTSTRSAFE_MAX_CCH) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

template <typename Ch>
NTSTATUS VPrintf(Ch* dest, size_t cch, const Ch* format, va_list argList) {
    NTSTATUS status = CheckDest(dest, cch);
    if (!NT_SUCCESS(status)) return status;
    if (format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    Sink<Ch> out{dest, cch};
    va_list args;
    va_copy(args, argList);
    status = FormatInto(out, format, &args);
    va_end(args);
    if (status == STATUS_INVALID_PARAMETER) out.len = 0;
    out.Finish();
    return status;
}

// Appends src at dest[start], truncating as the bounded copies do.
NTSTATUS CopyAt(PWSTR dest, size_t cch, size_t start, PCWSTR src) {
    Sink<WCHAR> out{dest, cch, start};
    for (; *src && !out.overflow; ++src) out.Put(*src);
    out.Finish();
    return out.overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList) {
    return VPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList) {
    return VPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = VPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = VPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = VPrintf(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    NTSTATUS status = CheckDest(pszDest, cchDest);
    if (!NT_SUCCESS(status)) return status;
    if (pszSrc == nullptr) {
        pszDest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return CopyAt(pszDest, cchDest, 0, pszSrc);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    if (pcchLength) *pcchLength = 0;
    if (psz == nullptr || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    while (n < cchMax && psz[n] != 0) ++n;
    if (n == cchMax) return STATUS_INVALID_PARAMETER;
    if (pcchLength) *pcchLength = n;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    NTSTATUS status = CheckDest(pszDest, cchDest);
    if (!NT_SUCCESS(status)) return status;
    size_t used = 0;
    if (!NT_SUCCESS(RtlStringCchLengthW(pszDest, cchDest, &used)) || pszSrc == nullptr)
        return STATUS_INVALID_PARAMETER;
    return CopyAt(pszDest, cchDest, used, pszSrc);
}
