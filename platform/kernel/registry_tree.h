// The registry stand-in's tree, shared by the Zw calls (registry.cpp) and
// the test/host control and image code (registry_image.cpp). Internal to
// platform/kernel.
//
// Every access to the tree happens under Tree().lock. Keys are held by
// shared_ptr: the parent holds its children, and every open key handle holds
// its key, so a deleted key stays valid (and marked deleted) until its last
// handle is closed.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "nt/types.h"

namespace reg {

struct Value {
    std::u16string name;  // as first written
    ULONG type = 0;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;  // as created
    Key* parent = nullptr;
    std::map<std::u16string, std::shared_ptr<Key>> children;  // by folded name
    std::vector<Value> values;                                // creation order
    bool isVolatile = false;
    bool predefined = false;  // "\Registry" and the hive roots: never deleted
    bool deleted = false;
    LONGLONG lastWrite = 0;

    Value* FindValue(std::u16string_view valueName);
    std::shared_ptr<Key> FindChild(std::u16string_view childName) const;
};

struct State {
    std::recursive_mutex lock;
    std::shared_ptr<Key> root;
    std::string backingFile;
    bool unsaved = false;  // the tree changed since the backing file was written
};

State& Tree();

// Upper-cased copy used as the comparison form of names.
std::u16string Fold(std::u16string_view name);

// Splits "A\B\C" into its names. Empty text gives no names. An empty name
// (doubled, leading or trailing backslash) or one longer than 255
// characters gives false.
bool SplitPath(std::u16string_view path, std::vector<std::u16string>& names);

// Splits an absolute path "\Registry\..." into the names below the root.
// Returns STATUS_OBJECT_PATH_SYNTAX_BAD without the leading backslash,
// STATUS_OBJECT_PATH_NOT_FOUND outside "\Registry", STATUS_OBJECT_NAME_INVALID
// for a bad name.
NTSTATUS SplitAbsolute(std::u16string_view path, std::vector<std::u16string>& names);

// Follows names from `from`; NULL when one is missing.
std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& names);

// Links a new child key under parent.
std::shared_ptr<Key> AddChild(Key& parent, const std::u16string& name, bool isVolatile);

// Walks from the root, creating missing non-volatile keys.
std::shared_ptr<Key> CreatePath(const std::vector<std::u16string>& names);

// Unlinks key from its parent and marks it (and, for a whole tree, every
// key below it) deleted.
void Unlink(Key& key);
void MarkTreeDeleted(Key& key);

// A fresh tree with the predefined keys.
std::shared_ptr<Key> NewRoot();

std::u16string FullPath(const Key& key);

// Sets or replaces a value (name matched without case).
void SetValue(Key& key, const std::u16string& name, ULONG type, const uint8_t* data, size_t size);

// Stamps key with the current system time and marks the tree as unsaved:
// the backing file is written on the next flush (sim::RegistryFlush,
// ZwFlushKey, detaching the file), once for any number of changes. Called
// with the lock held after a change.
void Changed(Key& key);

}  // namespace reg
