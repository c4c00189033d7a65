// Test and host control of the registry stand-in and its text image (format
// in sim/registry.h).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "nt/status.h"
#include "registry_tree.h"
#include "sim/registry.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr char kImageHeader[] = "registry-image 1";

const struct {
    ULONG type;
    const char* name;
} kTypeNames[] = {
    {0, "REG_NONE"},          {1, "REG_SZ"},   {2, "REG_EXPAND_SZ"}, {3, "REG_BINARY"}, {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"}, {6, "REG_LINK"}, {7, "REG_MULTI_SZ"},  {11, "REG_QWORD"},
};

std::string TypeName(ULONG type) {
    for (const auto& t : kTypeNames)
        if (t.type == type) return t.name;
    return std::to_string(type);
}

bool ParseType(const std::string& text, ULONG& type) {
    for (const auto& t : kTypeNames) {
        if (text == t.name) {
            type = t.type;
            return true;
        }
    }
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long long v = std::stoull(text);
    if (v > 0xFFFFFFFFull) return false;
    type = static_cast<ULONG>(v);
    return true;
}

std::string Quote(const std::u16string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (char16_t c : name) {
        if (c >= 0x20 && c < 0x7F && c != u'"' && c != u'%') {
            out += static_cast<char>(c);
            continue;
        }
        out += '%';
        for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    }
    return out + "\"";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted name starting at line[pos]; pos ends after the quote.
bool Unquote(const std::string& line, size_t& pos, std::u16string& name) {
    if (pos >= line.size() || line[pos] != '"') return false;
    name.clear();
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '%') {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
            name += static_cast<char16_t>(c);
            continue;
        }
        if (pos + 4 >= line.size()) return false;
        unsigned v = 0;
        for (int i = 1; i <= 4; ++i) {
            int d = HexDigit(line[pos + i]);
            if (d < 0) return false;
            v = (v << 4) | static_cast<unsigned>(d);
        }
        name += static_cast<char16_t>(v);
        pos += 4;
    }
    return false;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& data) {
    data.clear();
    if (text == "-") return true;
    if (text.empty() || text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        data.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::string HexOf(const std::vector<uint8_t>& data) {
    static const char kHex[] = "0123456789abcdef";
    if (data.empty()) return "-";
    std::string out;
    for (uint8_t b : data) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

void WriteValues(std::ostringstream& out, const reg::Key& key) {
    std::vector<std::pair<std::u16string, const reg::Value*>> values;
    values.reserve(key.values.size());
    for (const auto& v : key.values) values.emplace_back(reg::Fold(v.name), &v);
    std::sort(values.begin(), values.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [folded, v] : values)
        out << "value " << Quote(v->name) << ' ' << TypeName(v->type) << ' ' << HexOf(v->data) << '\n';
}

// Keys come in the order of their folded names (the children map), parents
// first, values sorted the same way, so equal trees give equal images. The
// walk keeps its own stack: a tree built through the Zw calls has no depth
// limit.
void WriteTree(std::ostringstream& out, const reg::Key& root) {
    std::vector<const reg::Key*> pending = {&root};
    while (!pending.empty()) {
        const reg::Key* key = pending.back();
        pending.pop_back();
        if (key->isVolatile) continue;
        out << "key " << Quote(reg::FullPath(*key)) << '\n';
        WriteValues(out, *key);
        for (auto it = key->children.rbegin(); it != key->children.rend(); ++it) pending.push_back(it->second.get());
    }
}

// Rest of the line after pos, split on single blanks, must hold exactly
// `count` fields.
bool Fields(const std::string& line, size_t pos, size_t count, std::vector<std::string>& fields) {
    fields.clear();
    std::istringstream in(line.substr(pos));
    std::string f;
    while (in >> f) fields.push_back(f);
    return fields.size() == count;
}

// The tree an image builds, with an index of each key's values by folded
// name, so that a key of many values loads in time linear in their number.
struct Loader {
    std::shared_ptr<reg::Key> root = reg::NewRoot();
    std::shared_ptr<reg::Key> current;
    std::unordered_map<const reg::Key*, std::unordered_map<std::u16string, size_t>> valueIndex;
    std::string reason;

    bool KeyLine(const std::string& line);
    bool ValueLine(const std::string& line);
};

bool Loader::KeyLine(const std::string& line) {
    size_t pos = 4;
    std::u16string name;
    std::vector<std::string> fields;
    std::vector<std::u16string> names;
    if (!Unquote(line, pos, name) || !Fields(line, pos, 0, fields)) return false;
    if (!NT_SUCCESS(reg::SplitAbsolute(name, names))) return false;
    if (names.size() > sim::kRegistryMaxKeyDepth) {
        reason = "key nested " + std::to_string(names.size()) + " deep (at most " +
                 std::to_string(sim::kRegistryMaxKeyDepth) + " below \\Registry)";
        return false;
    }
    current = root;
    for (const auto& n : names) {
        std::shared_ptr<reg::Key> next = current->FindChild(n);
        current = next ? next : reg::AddChild(*current, n, false);
    }
    return true;
}

bool Loader::ValueLine(const std::string& line) {
    size_t pos = 6;
    std::u16string name;
    std::vector<std::string> fields;
    ULONG type;
    std::vector<uint8_t> data;
    if (!Unquote(line, pos, name) || !Fields(line, pos, 2, fields)) return false;
    if (!ParseType(fields[0], type) || !ParseHex(fields[1], data)) return false;
    auto& index = valueIndex[current.get()];
    auto [it, added] = index.emplace(reg::Fold(name), current->values.size());
    if (added) current->values.push_back(reg::Value{name, 0, {}});
    reg::Value& v = current->values[it->second];
    v.type = type;
    v.data = std::move(data);
    return true;
}

std::shared_ptr<reg::Key> FindKey(const std::u16string& path) {
    std::vector<std::u16string> names;
    if (!NT_SUCCESS(reg::SplitAbsolute(path, names))) return nullptr;
    return reg::Walk(reg::Tree().root, names);
}

// Creates the key of an absolute path (and the keys on the way).
NTSTATUS CreateKey(const std::u16string& path, std::shared_ptr<reg::Key>& key) {
    std::vector<std::u16string> names;
    NTSTATUS status = reg::SplitAbsolute(path, names);
    if (!NT_SUCCESS(status)) return status;
    key = reg::CreatePath(names);
    return STATUS_SUCCESS;
}

}  // namespace

namespace sim {

void RegistryReset() {
    Guard guard(reg::Tree().lock);
    reg::MarkTreeDeleted(*reg::Tree().root);
    reg::Tree().root = reg::NewRoot();
    reg::Tree().backingFile.clear();
    reg::Tree().unsaved = false;
}

bool RegistryKeyExists(const std::u16string& path) {
    Guard guard(reg::Tree().lock);
    return FindKey(path) != nullptr;
}

NTSTATUS RegistryCreateKey(const std::u16string& path) {
    Guard guard(reg::Tree().lock);
    std::shared_ptr<reg::Key> key;
    NTSTATUS status = CreateKey(path, key);
    if (NT_SUCCESS(status)) reg::Changed(*key);
    return status;
}

NTSTATUS RegistryDeleteTree(const std::u16string& path) {
    Guard guard(reg::Tree().lock);
    std::shared_ptr<reg::Key> key = FindKey(path);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (key->predefined) return STATUS_CANNOT_DELETE;
    reg::Key* parent = key->parent;
    reg::Unlink(*key);
    reg::MarkTreeDeleted(*key);
    reg::Changed(*parent);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> RegistrySubkeys(const std::u16string& path) {
    Guard guard(reg::Tree().lock);
    std::vector<std::u16string> names;
    if (auto key = FindKey(path))
        for (const auto& [folded, child] : key->children) names.push_back(child->name);
    return names;
}

std::vector<std::u16string> RegistryValueNames(const std::u16string& path) {
    Guard guard(reg::Tree().lock);
    std::vector<std::u16string> names;
    if (auto key = FindKey(path))
        for (const auto& v : key->values) names.push_back(v.name);
    return names;
}

std::optional<RegistryValue> RegistryGetValue(const std::u16string& path, const std::u16string& name) {
    Guard guard(reg::Tree().lock);
    auto key = FindKey(path);
    reg::Value* v = key ? key->FindValue(name) : nullptr;
    if (v == nullptr) return std::nullopt;
    return RegistryValue{v->type, v->data};
}

NTSTATUS RegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                          const std::vector<uint8_t>& data) {
    Guard guard(reg::Tree().lock);
    std::shared_ptr<reg::Key> key;
    NTSTATUS status = CreateKey(path, key);
    if (!NT_SUCCESS(status)) return status;
    reg::SetValue(*key, name, type, data.data(), data.size());
    reg::Changed(*key);
    return STATUS_SUCCESS;
}

NTSTATUS RegistrySetDword(const std::u16string& path, const std::u16string& name, ULONG value) {
    std::vector<uint8_t> data(4);
    for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
    return RegistrySetValue(path, name, 4 /* REG_DWORD */, data);
}

NTSTATUS RegistrySetString(const std::u16string& path, const std::u16string& name, const std::u16string& value) {
    std::vector<uint8_t> data((value.size() + 1) * sizeof(char16_t));
    memcpy(data.data(), value.c_str(), data.size());
    return RegistrySetValue(path, name, 1 /* REG_SZ */, data);
}

NTSTATUS RegistryDeleteValue(const std::u16string& path, const std::u16string& name) {
    Guard guard(reg::Tree().lock);
    auto key = FindKey(path);
    reg::Value* v = key ? key->FindValue(name) : nullptr;
    if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(key->values.begin() + (v - key->values.data()));
    reg::Changed(*key);
    return STATUS_SUCCESS;
}

std::string RegistryImage() {
    Guard guard(reg::Tree().lock);
    std::ostringstream out;
    out << kImageHeader << '\n';
    WriteTree(out, *reg::Tree().root);
    return out.str();
}

NTSTATUS RegistryLoadImage(const std::string& image) { return RegistryLoadImage(image, nullptr); }

NTSTATUS RegistryLoadImage(const std::string& image, size_t* badLine, std::string* reason) {
    std::istringstream in(image);
    std::string line;
    bool header = false;
    size_t number = 0;
    Loader loader;
    if (badLine) *badLine = 0;
    if (reason) reason->clear();
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        bool ok = !header                         ? line == kImageHeader
                  : line.rfind("key ", 0) == 0    ? loader.KeyLine(line)
                  : line.rfind("value ", 0) == 0  ? loader.current && loader.ValueLine(line)
                                                  : false;
        if (!ok) {
            reg::MarkTreeDeleted(*loader.root);
            if (badLine) *badLine = number;
            if (reason) *reason = loader.reason.empty() ? "not a registry image line" : loader.reason;
            return STATUS_REGISTRY_CORRUPT;
        }
        header = true;
    }
    if (!header) {
        if (badLine) *badLine = number ? number : 1;
        if (reason) *reason = "no registry image header";
        return STATUS_REGISTRY_CORRUPT;
    }
    Guard guard(reg::Tree().lock);
    reg::MarkTreeDeleted(*reg::Tree().root);
    reg::Tree().root = loader.root;
    return STATUS_SUCCESS;
}

NTSTATUS RegistrySave(const std::string& filePath) { return RegistrySave(filePath, nullptr); }

NTSTATUS RegistrySave(const std::string& filePath, std::string* reason) {
    const std::string image = RegistryImage();
    const std::string temp = filePath + ".tmp";
    const auto fail = [&](const std::string& what) {
        const int error = errno;
        if (reason) *reason = what + ": " + std::strerror(error);
        return STATUS_REGISTRY_IO_FAILED;
    };
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot create " + temp);
    for (size_t done = 0; done < image.size();) {
        ssize_t n = write(fd, image.data() + done, image.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const NTSTATUS status = fail("cannot write " + temp);
            close(fd);
            unlink(temp.c_str());
            return status;
        }
        done += size_t(n);
    }
    if (close(fd) != 0) {
        const NTSTATUS status = fail("cannot write " + temp);
        unlink(temp.c_str());
        return status;
    }
    if (std::rename(temp.c_str(), filePath.c_str()) != 0) {
        const NTSTATUS status = fail("cannot replace " + filePath);
        unlink(temp.c_str());
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryLoad(const std::string& filePath) { return RegistryLoad(filePath, nullptr); }

NTSTATUS RegistryLoad(const std::string& filePath, size_t* badLine, std::string* reason) {
    if (badLine) *badLine = 0;
    if (reason) reason->clear();
    std::ifstream in(filePath, std::ios::binary);
    if (!in) return STATUS_OBJECT_NAME_NOT_FOUND;
    // Read no more than the limit and one byte: a file that never ends
    // (a device node) is refused as too large rather than read to the end
    // of memory.
    std::string text(kRegistryImageMaxBytes + 1, '\0');
    in.read(&text[0], std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    if (in.bad()) {
        if (reason) *reason = "cannot read the file";
        return STATUS_REGISTRY_IO_FAILED;
    }
    if (text.size() > kRegistryImageMaxBytes) {
        if (reason)
            *reason = "larger than " + std::to_string(kRegistryImageMaxBytes >> 20) +
                      " MiB, the largest registry image read";
        return STATUS_REGISTRY_CORRUPT;
    }
    return RegistryLoadImage(text, badLine, reason);
}

NTSTATUS RegistrySetBackingFile(const std::string& filePath) { return RegistrySetBackingFile(filePath, nullptr); }

NTSTATUS RegistrySetBackingFile(const std::string& filePath, size_t* badLine, std::string* reason) {
    Guard guard(reg::Tree().lock);
    if (badLine) *badLine = 0;
    if (reason) reason->clear();
    // What the old file has not taken yet goes to it first.
    NTSTATUS status = RegistryFlush(reason);
    reg::Tree().backingFile.clear();
    if (filePath.empty() || !NT_SUCCESS(status)) return status;
    status = RegistryLoad(filePath, badLine, reason);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = RegistrySave(filePath, reason);
    if (NT_SUCCESS(status)) {
        reg::Tree().backingFile = filePath;
        reg::Tree().unsaved = false;
    }
    return status;
}

NTSTATUS RegistryFlush(std::string* reason) {
    Guard guard(reg::Tree().lock);
    if (reg::Tree().backingFile.empty() || !reg::Tree().unsaved) return STATUS_SUCCESS;
    NTSTATUS status = RegistrySave(reg::Tree().backingFile, reason);
    if (NT_SUCCESS(status)) reg::Tree().unsaved = false;
    return status;
}

}  // namespace sim
