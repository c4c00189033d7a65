// Test- and platform-side helpers between std strings and the kernel's
// counted strings. Not for driver code.
#pragma once

#include <string>
#include <string_view>

#include "nt/types.h"

namespace sim {

// UTF-16 <-> UTF-8. Unpaired surrogates and malformed UTF-8 bytes become
// U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// The text of a counted string (Length bytes, no terminator needed).
std::u16string ToU16(const UNICODE_STRING& s);
std::string ToUtf8(const UNICODE_STRING& s);

// A UNICODE_STRING over text it owns, for passing names to Zw and Io calls:
//   sim::UString name(u"\\Registry\\Machine\\SOFTWARE");
//   InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, NULL, NULL);
class UString {
public:
    explicit UString(std::u16string text = {});
    UString(const UString& other) : UString(other.text_) {}
    UString& operator=(const UString& other);
    PUNICODE_STRING get() { return &us_; }
    const std::u16string& text() const { return text_; }

private:
    void Bind();
    std::u16string text_;
    UNICODE_STRING us_{};
};

}  // namespace sim
