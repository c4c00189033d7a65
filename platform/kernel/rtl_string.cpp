// Counted strings, integer and GUID text conversions, memory comparison and
// the UTF-16 C run-time helpers.
#include "nt/pool.h"
#include "nt/rtl.h"

namespace {

// Buffers that Rtl routines allocate for their callers (paged pool).
constexpr ULONG kRtlStringTag = MakePoolTag("RtlS");
constexpr USHORT kMaxUnicodeBytes = 0xFFFC;  // largest even length below 0xFFFE
constexpr USHORT kMaxAnsiBytes = 0xFFFE;

bool ValidUnicode(PCUNICODE_STRING s) {
    return s != nullptr && (s->Length % 2) == 0 && s->Length <= s->MaximumLength &&
           (s->Buffer != nullptr || s->Length == 0);
}

bool ValidAnsi(PCANSI_STRING s) {
    return s != nullptr && s->Length <= s->MaximumLength && (s->Buffer != nullptr || s->Length == 0);
}

// Terminates s when its buffer has room after the text.
void TerminateIfRoom(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS AppendUnits(PUNICODE_STRING dest, const WCHAR* src, size_t bytes) {
    if (!ValidUnicode(dest)) return STATUS_INVALID_PARAMETER;
    if (bytes == 0) return STATUS_SUCCESS;
    if (dest->Length + bytes > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(dest->Buffer) + dest->Length, src, bytes);
    dest->Length = static_cast<USHORT>(dest->Length + bytes);
    TerminateIfRoom(dest);
    return STATUS_SUCCESS;
}

int DigitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

// Reads exactly `digits` hex digits at text[*pos].
bool ReadHex(PCWSTR text, size_t* pos, int digits, ULONG* value) {
    ULONG v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = DigitValue(text[*pos + i]);
        if (d > 15) return false;
        v = (v << 4) | static_cast<ULONG>(d);
    }
    *pos += static_cast<size_t>(digits);
    *value = v;
    return true;
}

bool Expect(PCWSTR text, size_t* pos, WCHAR c) {
    if (text[*pos] != c) return false;
    ++*pos;
    return true;
}

}  // namespace

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    // Latin-1 small letters à..þ except the division sign; ÿ has its capital elsewhere.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes) bytes = kMaxUnicodeBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > kMaxAnsiBytes) bytes = kMaxAnsiBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~1u;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    return AppendUnits(Destination, Source, wcslen(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!ValidUnicode(Source)) return STATUS_INVALID_PARAMETER;
    return AppendUnits(Destination, Source->Buffer, Source->Length);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (DestinationString == nullptr || !ValidUnicode(SourceString)) return STATUS_INVALID_PARAMETER;
    size_t chars = SourceString->Length / sizeof(WCHAR);
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kRtlStringTag));
        if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
    } else {
        if (!ValidAnsi(DestinationString)) return STATUS_INVALID_PARAMETER;
        if (chars >= DestinationString->MaximumLength) {
            // Converts what fits, leaving room for the terminator.
            status = STATUS_BUFFER_OVERFLOW;
            chars = DestinationString->MaximumLength == 0 ? 0 : DestinationString->MaximumLength - 1u;
        }
    }
    for (size_t i = 0; i < chars; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c > 0xFF ? '?' : static_cast<CHAR>(c);
    }
    DestinationString->Length = static_cast<USHORT>(chars);
    if (chars < DestinationString->MaximumLength) DestinationString->Buffer[chars] = 0;
    return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (DestinationString == nullptr || !ValidAnsi(SourceString)) return STATUS_INVALID_PARAMETER;
    size_t bytes = SourceString->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFE) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kRtlStringTag));
        if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else {
        if (DestinationString->Buffer == nullptr && DestinationString->MaximumLength != 0)
            return STATUS_INVALID_PARAMETER;
        if (bytes > DestinationString->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (!ValidUnicode(String) || Value == nullptr) return STATUS_INVALID_PARAMETER;
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + String->Length / sizeof(WCHAR);
    while (p < end && *p <= u' ') ++p;
    bool negative = false;
    if (p < end && (*p == u'-' || *p == u'+')) negative = *p++ == u'-';
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == u'0') {
            WCHAR x = p[1];
            if (x == u'x' || x == u'X') Base = 16;
            else if (x == u'o' || x == u'O') Base = 8;
            else if (x == u'b' || x == u'B') Base = 2;
            if (Base != 10) p += 2;
        }
    }
    ULONG v = 0;
    for (; p < end; ++p) {
        int d = DigitValue(*p);
        if (d >= static_cast<int>(Base)) break;
        v = v * Base + static_cast<ULONG>(d);
    }
    *Value = negative ? 0u - v : v;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if ((Base != 2 && Base != 8 && Base != 10 && Base != 16) || String == nullptr)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        digits[n++] = static_cast<WCHAR>(u"0123456789ABCDEF"[Value % Base]);
        Value /= Base;
    } while (Value != 0);
    if (n * sizeof(WCHAR) > String->MaximumLength || String->Buffer == nullptr) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    TerminateIfRoom(String);
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    constexpr size_t kChars = 38;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (kChars + 1) * sizeof(WCHAR), kRtlStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    RtlStringCchPrintfW(buffer, kChars + 1, u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1,
                        Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                        Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    GuidString->Buffer = buffer;
    GuidString->Length = kChars * sizeof(WCHAR);
    GuidString->MaximumLength = (kChars + 1) * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    if (!ValidUnicode(GuidString) || Guid == nullptr || GuidString->Length != 38 * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    PCWSTR t = GuidString->Buffer;
    size_t pos = 0;
    ULONG data1, data2, data3, byte;
    GUID g{};
    bool ok = Expect(t, &pos, u'{') && ReadHex(t, &pos, 8, &data1) && Expect(t, &pos, u'-') &&
              ReadHex(t, &pos, 4, &data2) && Expect(t, &pos, u'-') && ReadHex(t, &pos, 4, &data3) &&
              Expect(t, &pos, u'-');
    for (int i = 0; ok && i < 8; ++i) {
        if (i == 2) ok = Expect(t, &pos, u'-');
        ok = ok && ReadHex(t, &pos, 2, &byte);
        if (ok) g.Data4[i] = static_cast<UCHAR>(byte);
    }
    if (!ok || !Expect(t, &pos, u'}')) return STATUS_INVALID_PARAMETER;
    g.Data1 = data1;
    g.Data2 = static_cast<USHORT>(data2);
    g.Data3 = static_cast<USHORT>(data3);
    *Guid = g;
    return STATUS_SUCCESS;
}

size_t wcslen(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        WCHAR x = RtlUpcaseUnicodeChar(*a);
        WCHAR y = RtlUpcaseUnicodeChar(*b);
        if (x != y || x == 0) return static_cast<int>(x) - static_cast<int>(y);
    }
}

WCHAR* _wcsupr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p) *p = RtlUpcaseUnicodeChar(*p);
    return s;
}
