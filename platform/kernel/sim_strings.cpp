// UTF-8 / UTF-16 conversions for tests and platform code.
#include "sim/strings.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// Decodes one UTF-8 sequence at text[i]; advances i past what it consumed.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i++);
    if (lead < 0x80) return lead;
    int extra;
    if (lead >= 0xC2 && lead < 0xE0) {
        extra = 1;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        extra = 2;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        extra = 3;
    } else {
        return kReplacement;
    }
    char32_t cp = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if (i >= text.size() || (byte(i) & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (byte(i++) & 0x3F);
    }
    static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return kReplacement;
    return cp;
}

}  // namespace

namespace sim {

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) AppendUtf16(out, DecodeUtf8(text, i));
    return out;
}

std::u16string ToU16(const UNICODE_STRING& s) {
    if (s.Buffer == nullptr) return {};
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

std::string ToUtf8(const UNICODE_STRING& s) { return ToUtf8(ToU16(s)); }

UString::UString(std::u16string text) : text_(std::move(text)) { Bind(); }

UString& UString::operator=(const UString& other) {
    text_ = other.text_;
    Bind();
    return *this;
}

void UString::Bind() {
    us_.Buffer = text_.data();
    us_.Length = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
    us_.MaximumLength = static_cast<USHORT>(us_.Length + sizeof(WCHAR));
}

}  // namespace sim
