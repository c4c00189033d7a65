// A small JSON value for the host program's `inspect` output: objects keep
// their keys in the order they were added, arrays their order, numbers are
// integers, strings are escaped (control characters as \u00XX), and the
// text is indented by two spaces per level.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {

class Json {
public:
    static Json Object();
    static Json Array();
    static Json String(std::string text);
    static Json Number(int64_t value);
    static Json Bool(bool value);
    static Json Null();

    // Objects: adds a key (keys are not checked for repeats). Returns *this.
    Json& Add(const std::string& key, Json value);
    // Arrays: appends.
    Json& Push(Json value);

    std::string Dump() const;

private:
    enum class Kind { Object, Array, String, Number, Bool, Null };
    explicit Json(Kind kind) : m_Kind(kind) {}
    void Write(std::string& out, int depth) const;

    Kind m_Kind;
    std::string m_Text;
    int64_t m_Number = 0;
    bool m_Bool = false;
    std::vector<std::pair<std::string, Json>> m_Members;  // objects
    std::vector<Json> m_Items;                             // arrays
};

}  // namespace host
