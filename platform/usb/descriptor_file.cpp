#include "platform/usb/descriptor_file.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/usb/uac_model.h"

namespace simusb {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whitespace-separated tokens of an even number of hex digits.
bool ParseHex(const std::string& s, Bytes* out, std::string* why) {
    size_t i = 0;
    Bytes bytes;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        size_t start = i;
        while (i < s.size() && !IsBlank(s[i])) ++i;
        if (start == i) break;
        const std::string token = s.substr(start, i - start);
        if (token.size() % 2 != 0) {
            *why = "hex token '" + token + "' has an odd number of digits";
            return false;
        }
        for (size_t k = 0; k < token.size(); k += 2) {
            int hi = HexValue(token[k]), lo = HexValue(token[k + 1]);
            if (hi < 0 || lo < 0) {
                *why = "'" + token + "' is not hex";
                return false;
            }
            bytes.push_back((uint8_t)(hi * 16 + lo));
        }
    }
    if (bytes.empty()) {
        *why = "no bytes";
        return false;
    }
    *out = std::move(bytes);
    return true;
}

// Strict UTF-8 to UTF-16 (no overlongs, no surrogates, at most U+10FFFF).
bool Utf8ToUtf16(const std::string& s, std::u16string* out) {
    std::u16string r;
    for (size_t i = 0; i < s.size();) {
        const auto c = (unsigned char)s[i];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                                  : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + extra >= s.size()) return false;
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto t = (unsigned char)s[i + k];
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            r.push_back((char16_t)(0xD800 + (cp >> 10)));
            r.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            r.push_back((char16_t)cp);
        }
        i += extra + 1;
    }
    *out = std::move(r);
    return true;
}

// Text of a string descriptor that the writer may emit as text: well
// formed, valid UTF-16 and free of control characters.
bool DescriptorAsText(const Bytes& d, std::string* text) {
    if (d.size() < 2 || d[0] != d.size() || d[1] != USB_STRING_DESCRIPTOR_TYPE || d.size() % 2)
        return false;
    std::string r;
    for (size_t i = 2; i < d.size(); i += 2) {
        char32_t cp = d[i] | (d[i + 1] << 8);
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= d.size()) return false;
            char32_t low = d[i + 2] | (d[i + 3] << 8);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        if (cp < 0x20 || cp == 0x7F) return false;
        if (cp < 0x80) {
            r.push_back((char)cp);
        } else if (cp < 0x800) {
            r.push_back((char)(0xC0 | (cp >> 6)));
            r.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            r.push_back((char)(0xE0 | (cp >> 12)));
            r.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            r.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            r.push_back((char)(0xF0 | (cp >> 18)));
            r.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            r.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            r.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    *text = std::move(r);
    return true;
}

bool ParseIndex(const std::string& s, int* index) {
    if (s.empty()) return false;
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    long v = 0;
    for (size_t i = hex ? 2 : 0; i < s.size(); ++i) {
        const int d = hex ? HexValue(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + d;
        if (v > 255) return false;
    }
    *index = (int)v;
    return true;
}

// Decimal Hz, at most 32 bits.
bool ParseHz(const std::string& s, uint32_t* hz) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    *hz = (uint32_t)v;
    return true;
}

// "R" ({R, R, 0}) or "MIN-MAX/RES".
bool ParseSubrange(const std::string& token, ClockSubrange* r, std::string* why) {
    const size_t dash = token.find('-'), slash = token.find('/');
    bool ok;
    if (dash == std::string::npos && slash == std::string::npos) {
        ok = ParseHz(token, &r->minimum);
        r->maximum = r->minimum;
        r->resolution = 0;
    } else {
        ok = dash != std::string::npos && slash != std::string::npos && dash < slash &&
             ParseHz(token.substr(0, dash), &r->minimum) &&
             ParseHz(token.substr(dash + 1, slash - dash - 1), &r->maximum) &&
             ParseHz(token.substr(slash + 1), &r->resolution);
    }
    if (!ok) {
        *why = "bad clock subrange '" + token + "' (expected R or MIN-MAX/RES in Hz)";
        return false;
    }
    if (r->minimum > r->maximum) {
        *why = "clock subrange '" + token + "' has MIN above MAX";
        return false;
    }
    return true;
}

bool ParseSubranges(const std::string& s, std::vector<ClockSubrange>* out, std::string* why) {
    std::istringstream in(s);
    std::string token;
    std::vector<ClockSubrange> list;
    while (in >> token) {
        ClockSubrange r;
        if (!ParseSubrange(token, &r, why)) return false;
        list.push_back(r);
    }
    if (list.empty()) {
        *why = "no clock subranges";
        return false;
    }
    *out = std::move(list);
    return true;
}

class Parser {
public:
    explicit Parser(DescriptorSet* set) : set_(set) {}

    // One line without its line end; false with why_ set on error.
    bool Line(const std::string& line, int number) {
        line_ = number;
        size_t i = 0;
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size() || line[i] == '#') return true;
        const size_t colon = line.find(':', i);
        if (colon == std::string::npos)
            return Fail("expected 'device:', 'config:', 'config2:', 'string N:' or 'clock N:'");
        const std::string key = line.substr(i, colon - i);
        const std::string rest = line.substr(colon + 1);
        if (key == "device") return Device(rest);
        if (key == "config") return Config(rest, &set_->configuration);
        if (key == "config2") return Config(rest, &set_->configuration2);
        if (key.compare(0, 7, "string ") == 0) return String(key.substr(7), rest);
        if (key.compare(0, 6, "clock ") == 0) return Clock(key.substr(6), rest);
        return Fail("unknown keyword '" + key + "'");
    }

    bool Finish() {
        if (!haveDevice_) return Fail("no 'device:' line");
        if (set_->configuration.empty()) return Fail("no 'config:' line");
        if (set_->clocks.empty()) return true;
        const UacModel model(set_->configuration);
        for (const auto& [id, line] : clockLines_) {
            if (model.IsClockSource(id)) continue;
            line_ = line;
            return Fail("clock " + std::to_string(id) + " names no clock source");
        }
        return true;
    }

    const std::string& why() const { return why_; }
    int line() const { return line_; }

private:
    bool Fail(const std::string& why) {
        why_ = why;
        return false;
    }

    bool Device(const std::string& rest) {
        if (haveDevice_) return Fail("second 'device:' line");
        haveDevice_ = true;
        return ParseHex(rest, &set_->device, &why_);
    }

    bool Config(const std::string& rest, Bytes* configuration) {
        Bytes b;
        if (!ParseHex(rest, &b, &why_)) return false;
        if (configuration->size() + b.size() > 0xFFFF)
            return Fail("configuration above 65535 bytes");
        configuration->insert(configuration->end(), b.begin(), b.end());
        return true;
    }

    bool Clock(const std::string& spec, const std::string& rest) {
        int id = 0;
        if (!ParseIndex(spec, &id)) return Fail("bad clock id '" + spec + "'");
        if (set_->clocks.count((uint8_t)id)) return Fail("second clock " + spec);
        std::vector<ClockSubrange> subranges;
        if (!ParseSubranges(rest, &subranges, &why_)) return false;
        set_->clocks[(uint8_t)id] = std::move(subranges);
        clockLines_[(uint8_t)id] = line_;
        return true;
    }

    bool String(std::string spec, const std::string& rest) {
        bool hex = false;
        if (spec.size() > 4 && spec.compare(spec.size() - 4, 4, " hex") == 0) {
            hex = true;
            spec.resize(spec.size() - 4);
        }
        int index = 0;
        if (!ParseIndex(spec, &index)) return Fail("bad string index '" + spec + "'");
        if (set_->strings.count((uint8_t)index)) return Fail("second string " + spec);
        Bytes b;
        if (hex) {
            if (!ParseHex(rest, &b, &why_)) return false;
        } else {
            if (!rest.empty() && rest[0] != ' ') return Fail("expected one space after ':'");
            std::u16string text;
            if (!Utf8ToUtf16(rest.empty() ? rest : rest.substr(1), &text))
                return Fail("string text is not valid UTF-8");
            if (text.size() > 126) return Fail("string text above 126 UTF-16 units");
            b = BuildStringDescriptor(text);
        }
        set_->strings[(uint8_t)index] = std::move(b);
        return true;
    }

    DescriptorSet* set_;
    bool haveDevice_ = false;
    std::string why_;
    int line_ = 0;
    std::map<uint8_t, int> clockLines_;  // line of each clock id
};

void SetError(DescriptorFileError* error, int line, const std::string& why) {
    if (error == nullptr) return;
    error->line = line;
    error->message = "line " + std::to_string(line) + ": " + why;
}

std::string HexLine(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof(buf), i ? " %02x" : "%02x", p[i]);
        s += buf;
    }
    return s;
}

}  // namespace

bool ParseDescriptorText(const std::string& text, UsbSpeed speed, DescriptorSet* out,
                         DescriptorFileError* error) {
    DescriptorSet set;
    set.speed = speed;
    Parser parser(&set);
    int lineNumber = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ++lineNumber;
        if (!parser.Line(line, lineNumber)) {
            SetError(error, lineNumber, parser.why());
            return false;
        }
        at = end + 1;
    }
    if (!parser.Finish()) {
        SetError(error, parser.line() ? parser.line() : lineNumber, parser.why());
        return false;
    }
    *out = std::move(set);
    return true;
}

bool LoadDescriptorFile(const std::string& path, UsbSpeed speed, DescriptorSet* out,
                        DescriptorFileError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        SetError(error, 0, "cannot open " + path);
        return false;
    }
    // One byte past the limit tells a file that is too large.
    std::string text(kMaxDescriptorFileBytes + 1, '\0');
    in.read(&text[0], std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    if (text.size() > kMaxDescriptorFileBytes) {
        if (error != nullptr)
            *error = {0, "larger than " + std::to_string(kMaxDescriptorFileBytes >> 10) +
                             " KiB, the largest descriptor file read"};
        return false;
    }
    return ParseDescriptorText(text, speed, out, error);
}

namespace {

// One line per descriptor; bytes past the last well-formed one on one line.
std::string ConfigLines(const char* key, const Bytes& c) {
    std::string out;
    size_t at = 0;
    while (at < c.size()) {
        size_t n = c.size() - at;
        if (c[at] >= 2 && c[at] <= n) n = c[at];
        out += std::string(key) + ": " + HexLine(c.data() + at, n) + "\n";
        at += n;
    }
    return out;
}

std::string ClockLine(uint8_t id, const std::vector<ClockSubrange>& subranges) {
    std::string out = "clock " + std::to_string(id) + ":";
    for (const ClockSubrange& r : subranges) {
        out += " " + std::to_string(r.minimum);
        if (r.minimum != r.maximum || r.resolution != 0)
            out += "-" + std::to_string(r.maximum) + "/" + std::to_string(r.resolution);
    }
    return out + "\n";
}

}  // namespace

std::string FormatDescriptorText(const DescriptorSet& set) {
    std::string out = "# USB descriptor set: device, configuration (one descriptor per line),"
                      " strings\n";
    out += "device: " + HexLine(set.device.data(), set.device.size()) + "\n";
    out += ConfigLines("config", set.configuration);
    out += ConfigLines("config2", set.configuration2);
    for (const auto& [id, subranges] : set.clocks) out += ClockLine(id, subranges);
    for (const auto& [index, bytes] : set.strings) {
        std::string text;
        if (index != 0 && DescriptorAsText(bytes, &text)) {
            out += "string " + std::to_string(index) + ":" + (text.empty() ? "" : " " + text) + "\n";
        } else if (!bytes.empty()) {
            out += "string " + std::to_string(index) +
                   " hex: " + HexLine(bytes.data(), bytes.size()) + "\n";
        }
    }
    return out;
}

bool SaveDescriptorFile(const std::string& path, const DescriptorSet& set) {
    std::ofstream outFile(path, std::ios::binary);
    outFile << FormatDescriptorText(set);
    return (bool)outFile;
}

}  // namespace simusb
