// Tree operations of the registry stand-in (see registry_tree.h).
#include "registry_tree.h"

#include "nt/ke.h"
#include "nt/rtl.h"
#include "nt/status.h"

namespace reg {

namespace {

constexpr size_t kMaxKeyNameChars = 255;

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    return true;
}

LONGLONG Now() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

}  // namespace

State& Tree() {
    static State* state = [] {
        auto* s = new State;  // outlives static destructors, as the pool does
        s->root = NewRoot();
        return s;
    }();
    return *state;
}

Value* Key::FindValue(std::u16string_view valueName) {
    for (Value& v : values)
        if (SameName(v.name, valueName)) return &v;
    return nullptr;
}

std::shared_ptr<Key> Key::FindChild(std::u16string_view childName) const {
    auto it = children.find(Fold(childName));
    return it == children.end() ? nullptr : it->second;
}

std::u16string Fold(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) c = RtlUpcaseUnicodeChar(c);
    return out;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string>& names) {
    names.clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars) return false;
        names.emplace_back(part);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

NTSTATUS SplitAbsolute(std::u16string_view path, std::vector<std::u16string>& names) {
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!SplitPath(path.substr(1), names)) return STATUS_OBJECT_NAME_INVALID;
    if (names.empty() || !SameName(names[0], u"Registry")) return STATUS_OBJECT_PATH_NOT_FOUND;
    names.erase(names.begin());
    return STATUS_SUCCESS;
}

std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& names) {
    std::shared_ptr<Key> key = from;
    for (const auto& name : names) {
        key = key->FindChild(name);
        if (!key) return nullptr;
    }
    return key;
}

std::shared_ptr<Key> AddChild(Key& parent, const std::u16string& name, bool isVolatile) {
    auto child = std::make_shared<Key>();
    child->name = name;
    child->parent = &parent;
    child->isVolatile = isVolatile;
    child->lastWrite = Now();
    parent.children[Fold(name)] = child;
    return child;
}

std::shared_ptr<Key> CreatePath(const std::vector<std::u16string>& names) {
    std::shared_ptr<Key> key = Tree().root;
    for (const auto& name : names) {
        std::shared_ptr<Key> next = key->FindChild(name);
        key = next ? next : AddChild(*key, name, false);
    }
    return key;
}

void Unlink(Key& key) {
    if (key.parent) key.parent->children.erase(Fold(key.name));
    key.parent = nullptr;
    key.deleted = true;
}

void MarkTreeDeleted(Key& key) {
    for (auto& [folded, child] : key.children) MarkTreeDeleted(*child);
    key.children.clear();
    key.parent = nullptr;
    key.deleted = true;
}

std::shared_ptr<Key> NewRoot() {
    auto root = std::make_shared<Key>();
    root->name = u"REGISTRY";
    root->predefined = true;
    auto machine = AddChild(*root, u"MACHINE", false);
    AddChild(*root, u"USER", false)->predefined = true;
    machine->predefined = true;
    for (const char16_t* hive : {u"SYSTEM", u"SOFTWARE", u"HARDWARE"})
        AddChild(*machine, hive, false)->predefined = true;
    return root;
}

std::u16string FullPath(const Key& key) {
    std::vector<const Key*> chain;
    for (const Key* k = &key; k != nullptr; k = k->parent) chain.push_back(k);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    return path;
}

void SetValue(Key& key, const std::u16string& name, ULONG type, const uint8_t* data, size_t size) {
    Value* v = key.FindValue(name);
    if (v == nullptr) {
        key.values.push_back(Value{name, type, {}});
        v = &key.values.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
}

void Changed(Key& key) {
    key.lastWrite = Now();
    Tree().unsaved = true;
}

}  // namespace reg
