// Kernel debugger output: DbgPrint formats with the kernel's printf
// conventions (LONG-sized %ld, %I64, %ws, %wZ, %Z, %p as 16 upper-case hex
// digits) and appends the message to a capture buffer, echoing it to
// stderr when asked. Numeric conversions are delegated to snprintf one
// specification at a time; strings are converted here.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "executor_internal.h"
#include "nt/dbg.h"
#include "sim/debug.h"

namespace {

constexpr size_t kMaxMessage = 512;

struct DebugState {
    std::mutex lock;
    std::string captured;
    bool echo = [] {
        const char* v = std::getenv("ZK_DEBUG_PRINT");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
};

DebugState& State() {
    static DebugState* state = new DebugState;
    return *state;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 (count units, or up to the terminator when count < 0) to UTF-8.
std::string Narrow(const WCHAR* s, long count) {
    std::string out;
    if (s == nullptr) return "(null)";
    for (long i = 0; count < 0 ? s[i] != 0 : i < count; ++i) {
        char32_t c = s[i];
        bool high = c >= 0xD800 && c < 0xDC00;
        bool next = count < 0 ? s[i + 1] != 0 : i + 1 < count;
        if (high && next && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

enum class Size { Default, Char, Short, Long, LongLong, Pointer, Wide };

Size ParseSize(const char*& p) {
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') return p += 3, Size::LongLong;
    if (p[0] == 'I' && p[1] == '3' && p[2] == '2') return p += 3, Size::Default;
    if (p[0] == 'I' || p[0] == 'z') return p += 1, Size::Pointer;
    if (p[0] == 'h' && p[1] == 'h') return p += 2, Size::Char;
    if (p[0] == 'h') return p += 1, Size::Short;
    if (p[0] == 'l' && p[1] == 'l') return p += 2, Size::LongLong;
    if (p[0] == 'l') return p += 1, Size::Long;
    if (p[0] == 'w') return p += 1, Size::Wide;
    return Size::Default;
}

template <typename T>
void AppendFormatted(std::string& out, const std::string& spec, T value) {
    char buf[kMaxMessage + 1];
    std::snprintf(buf, sizeof buf, spec.c_str(), value);
    out += buf;
}

void ConvertInteger(std::string& out, const std::string& flags, Size size, char conversion, va_list& ap) {
    if (conversion == 'd' || conversion == 'i') {
        long long v = size == Size::LongLong ? va_arg(ap, long long)
                      : size == Size::Pointer ? static_cast<long long>(va_arg(ap, SSIZE_T))
                                              : static_cast<long long>(va_arg(ap, int));  // %ld: LONG is 32 bits
        if (size == Size::Short) v = static_cast<short>(v);
        if (size == Size::Char) v = static_cast<signed char>(v);
        AppendFormatted(out, flags + "lld", v);
        return;
    }
    unsigned long long v = size == Size::LongLong ? va_arg(ap, unsigned long long)
                           : size == Size::Pointer ? static_cast<unsigned long long>(va_arg(ap, SIZE_T))
                                                   : static_cast<unsigned long long>(va_arg(ap, unsigned));
    if (size == Size::Short) v = static_cast<unsigned short>(v);
    if (size == Size::Char) v = static_cast<unsigned char>(v);
    AppendFormatted(out, flags + "ll" + conversion, v);
}

// %c, %C, %s, %S, %ws, %ls, %Z and %wZ, converted to UTF-8.
void ConvertText(std::string& out, const std::string& flags, Size size, char conversion, va_list& ap) {
    bool wide = conversion == 'C' || conversion == 'S' || size == Size::Wide || size == Size::Long;
    std::string text;
    if (conversion == 'c' || conversion == 'C') {
        int c = va_arg(ap, int);
        AppendUtf8(text, wide ? static_cast<char32_t>(static_cast<char16_t>(c)) : static_cast<unsigned char>(c));
    } else if (conversion == 'Z' && size == Size::Wide) {
        auto* u = va_arg(ap, PCUNICODE_STRING);
        text = u ? Narrow(u->Buffer, u->Length / 2) : "(null)";
    } else if (conversion == 'Z') {
        auto* a = va_arg(ap, const ANSI_STRING*);
        text = !a ? "(null)" : a->Buffer ? std::string(a->Buffer, a->Length) : "";
    } else if (wide) {
        text = Narrow(va_arg(ap, const WCHAR*), -1);
    } else {
        const char* n = va_arg(ap, const char*);
        text = n ? n : "(null)";
    }
    AppendFormatted(out, flags + "s", text.c_str());
}

// One conversion; flags holds "%" with the flags, width and precision.
void Convert(std::string& out, const std::string& flags, Size size, char conversion, va_list& ap) {
    switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        ConvertInteger(out, flags, size, conversion, ap);
        return;
    case 'p':
        AppendFormatted(out, flags + "016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
        return;
    case 'c':
    case 'C':
    case 's':
    case 'S':
    case 'Z':
        ConvertText(out, flags, size, conversion, ap);
        return;
    case 'f':
    case 'e':
    case 'g':
    case 'E':
    case 'G':
        AppendFormatted(out, flags + conversion, va_arg(ap, double));
        return;
    case 'n':
        (void)va_arg(ap, void*);  // never written
        return;
    default:
        out += flags;
        out += conversion;
        return;
    }
}

std::string Format(const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    std::string out;
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        std::string flags = "%";
        while (*p && std::strchr("-+ #0", *p)) flags += *p++;
        if (*p == '*') {
            flags += std::to_string(va_arg(ap, int));
            ++p;
        }
        while (std::isdigit(static_cast<unsigned char>(*p))) flags += *p++;
        if (*p == '.') {
            flags += *p++;
            if (*p == '*') {
                flags += std::to_string(va_arg(ap, int));
                ++p;
            }
            while (std::isdigit(static_cast<unsigned char>(*p))) flags += *p++;
        }
        Size size = ParseSize(p);
        if (*p == 0) break;
        Convert(out, flags, size, *p++, ap);
    }
    va_end(ap);
    return out;
}

void Emit(std::string message) {
    if (message.size() > kMaxMessage) message.resize(kMaxMessage);
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.captured += message;
    if (s.echo) {
        std::fputs(message.c_str(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace

ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    std::string message = ::Format(Format, ap);
    va_end(ap);
    Emit(std::move(message));
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list ap;
    va_start(ap, Format);
    std::string message = ::Format(Format, ap);
    va_end(ap);
    Emit(std::move(message));
    return STATUS_SUCCESS;
}

VOID DbgBreakPoint() { sim::Bugcheck(KMODE_EXCEPTION_NOT_HANDLED, "DbgBreakPoint with no kernel debugger attached"); }

namespace sim {

std::string DebugOutput() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().captured;
}

void ClearDebugOutput() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().captured.clear();
}

void SetDebugEcho(bool echo) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().echo = echo;
}

}  // namespace sim
