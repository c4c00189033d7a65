// JSON output of the host program (see json.h).
#include "tools/host/json.h"

#include <cstdio>

namespace host {

namespace {

void Escape(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                    out += buffer;
                } else {
                    out += (char)c;
                }
        }
    }
    out += '"';
}

void Indent(std::string& out, int depth) { out.append((size_t)depth * 2, ' '); }

}  // namespace

Json Json::Object() { return Json(Kind::Object); }
Json Json::Array() { return Json(Kind::Array); }
Json Json::Null() { return Json(Kind::Null); }

Json Json::String(std::string text) {
    Json j(Kind::String);
    j.m_Text = std::move(text);
    return j;
}

Json Json::Number(int64_t value) {
    Json j(Kind::Number);
    j.m_Number = value;
    return j;
}

Json Json::Bool(bool value) {
    Json j(Kind::Bool);
    j.m_Bool = value;
    return j;
}

Json& Json::Add(const std::string& key, Json value) {
    m_Members.emplace_back(key, std::move(value));
    return *this;
}

Json& Json::Push(Json value) {
    m_Items.push_back(std::move(value));
    return *this;
}

std::string Json::Dump() const {
    std::string out;
    Write(out, 0);
    out += '\n';
    return out;
}

void Json::Write(std::string& out, int depth) const {
    switch (m_Kind) {
        case Kind::String: Escape(out, m_Text); return;
        case Kind::Number: out += std::to_string(m_Number); return;
        case Kind::Bool: out += m_Bool ? "true" : "false"; return;
        case Kind::Null: out += "null"; return;
        case Kind::Array:
            if (m_Items.empty()) {
                out += "[]";
                return;
            }
            out += "[\n";
            for (size_t i = 0; i < m_Items.size(); i++) {
                Indent(out, depth + 1);
                m_Items[i].Write(out, depth + 1);
                out += i + 1 < m_Items.size() ? ",\n" : "\n";
            }
            Indent(out, depth);
            out += ']';
            return;
        case Kind::Object:
            if (m_Members.empty()) {
                out += "{}";
                return;
            }
            out += "{\n";
            for (size_t i = 0; i < m_Members.size(); i++) {
                Indent(out, depth + 1);
                Escape(out, m_Members[i].first);
                out += ": ";
                m_Members[i].second.Write(out, depth + 1);
                out += i + 1 < m_Members.size() ? ",\n" : "\n";
            }
            Indent(out, depth);
            out += '}';
            return;
    }
}

}  // namespace host
