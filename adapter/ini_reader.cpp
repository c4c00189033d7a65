// The settings-file reader: line reading, the section and profile search,
// and the value-line scanners. Every scanner works on one line of known
// length and never looks past it.
#include "adapter/ini_reader.h"

#include "adapter/settings.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "portcls/portcls.h"

namespace {

// The line, its CR LF and a zero.
constexpr ULONG kLineBufferBytes = INI_LINE_MAX + 3;
// Hardware IDs as the device reports them (a longer list fails the read).
constexpr ULONG kHardwareIdBytes = 1000;
// "ModuleName" holds at most this many bytes with its terminator.
constexpr ULONG kModuleNameBytes = 100;
constexpr PCWSTR kDefaultFileName = u"BRONTALWORKS_ORLU.INI";
constexpr LONG kReadLimit = 0x7FFFFFFF;

bool IsBlankOrTab(CHAR c) { return c == ' ' || c == '\t'; }
bool IsTokenSeparator(CHAR c) { return c == ' ' || c == '\t' || c == ','; }
bool IsDigit(CHAR c) { return c >= '0' && c <= '9'; }
CHAR UpperAscii(CHAR c) { return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c; }

ULONG SkipWhile(const CHAR* line, ULONG length, ULONG pos, bool (*skip)(CHAR)) {
    while (pos < length && skip(line[pos])) ++pos;
    return pos;
}

// From the start of the line: blanks, a name up to TAB, blank or '=' of
// 1..maxName characters, then everything up to and including the '=' and
// the blanks and TABs after it. Returns FALSE for a line that is empty, a
// comment, has no '=' or an over-long name.
BOOLEAN ScanName(const CHAR* line, ULONG length, ULONG maxName, ULONG* nameStart, ULONG* nameLength,
                 ULONG* valueStart) {
    ULONG pos = SkipWhile(line, length, 0, [](CHAR c) { return c == ' '; });
    if (pos >= length || line[pos] == ';') return FALSE;
    *nameStart = pos;
    while (pos < length && line[pos] != '\t' && line[pos] != ' ' && line[pos] != '=') ++pos;
    *nameLength = pos - *nameStart;
    if (*nameLength > maxName) return FALSE;
    while (pos < length && line[pos] != '=') ++pos;
    if (pos >= length) return FALSE;
    *valueStart = SkipWhile(line, length, pos + 1, IsBlankOrTab);
    return TRUE;
}

// The next token at or after *pos: its start and length; FALSE at the end
// of the list (end of line or ';').
BOOLEAN NextToken(const CHAR* line, ULONG length, ULONG* pos, ULONG* start, ULONG* tokenLength) {
    ULONG p = SkipWhile(line, length, *pos, IsTokenSeparator);
    if (p >= length || line[p] == ';') return FALSE;
    *start = p;
    while (p < length && !IsTokenSeparator(line[p]) && line[p] != ';') ++p;
    *tokenLength = p - *start;
    *pos = p;
    return TRUE;
}

bool IsByteToken(const CHAR* token, ULONG length) {
    return length == 4 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
}

// Appends one token's bytes to value; FALSE when the line stops being a
// value line (over the data limit, or text and numbers mixed).
BOOLEAN AppendToken(const CHAR* token, ULONG length, INI_VALUE* value, bool* text, bool* numbers) {
    if (IsByteToken(token, length) || IsDigit(token[0])) {
        *numbers = true;
        ULONG bytes = IsByteToken(token, length) ? 1 : 4;
        if (*text || value->Size + bytes > INI_DATA_MAX) return FALSE;
        ULONG number = IniParseNumber(token, length);
        for (ULONG i = 0; i < bytes; ++i) value->Data[value->Size++] = (UCHAR)(number >> (8 * i));
        return TRUE;
    }
    *text = true;
    if (*numbers || value->Size + 2 * length > INI_DATA_MAX) return FALSE;
    for (ULONG i = 0; i < length; ++i) {
        value->Data[value->Size++] = (UCHAR)token[i];  // each byte widened to UTF-16LE
        value->Data[value->Size++] = 0;
    }
    return TRUE;
}

// "[name]" at the start of the line.
bool IsHeader(const CHAR* line, LONG length, const CHAR* name) {
    ULONG nameLength = (ULONG)strlen(name);
    if (length < 0 || (ULONG)length < nameLength + 2 || line[0] != '[') return false;
    return memcmp(line + 1, name, nameLength) == 0 && line[nameLength + 1] == ']';
}

}  // namespace

// ---- scanners -------------------------------------------------------------

ULONG IniParseNumber(const CHAR* token, ULONG length) {
    ULONG value = 0;
    if (length >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        for (ULONG i = 2; i < length; ++i) {
            CHAR c = token[i];
            ULONG digit = (c >= '0' && c <= '9')   ? (ULONG)(c - '0')
                          : (c >= 'a' && c <= 'f') ? (ULONG)(c - 'a' + 10)
                                                   : (ULONG)((LONG)(UCHAR)c - 'A' + 10);
            value = value * 16 + digit;
        }
    } else if (length >= 1 && IsDigit(token[0])) {
        for (ULONG i = 0; i < length; ++i) value = value * 10 + (ULONG)((LONG)(UCHAR)token[i] - '0');
    }
    return value;
}

BOOLEAN IniParseValueLine(const CHAR* line, ULONG length, INI_VALUE* value) {
    ULONG nameStart = 0, nameLength = 0, pos = 0;
    if (!ScanName(line, length, INI_NAME_MAX, &nameStart, &nameLength, &pos) || nameLength == 0)
        return FALSE;
    for (ULONG i = 0; i < nameLength; ++i) value->Name[i] = (UCHAR)line[nameStart + i];
    value->Name[nameLength] = 0;
    value->Size = 0;
    bool text = false, numbers = false;
    ULONG start = 0, tokenLength = 0;
    while (NextToken(line, length, &pos, &start, &tokenLength)) {
        if (tokenLength > INI_TOKEN_MAX) return FALSE;
        if (!AppendToken(line + start, tokenLength, value, &text, &numbers)) return FALSE;
    }
    value->Type = numbers ? REG_BINARY : REG_SZ;  // nothing at all: REG_SZ of size 0
    return TRUE;
}

BOOLEAN IniParseNumberLine(const CHAR* line, ULONG length, ULONG* number) {
    ULONG nameStart = 0, nameLength = 0, pos = 0;
    if (!ScanName(line, length, INI_NUMBER_NAME_MAX, &nameStart, &nameLength, &pos)) return FALSE;
    ULONG start = 0, tokenLength = 0;
    if (!NextToken(line, length, &pos, &start, &tokenLength) || tokenLength > INI_NUMBER_TOKEN_MAX)
        return FALSE;
    // Only the first number counts; text converts to 0.
    *number = IniParseNumber(line + start, tokenLength);
    return TRUE;
}

// ---- the reader -------------------------------------------------------------

CIniReader::CIniReader(PDEVICE_OBJECT fdo)
    : m_File(NULL),
      m_IoStatus(),
      m_Line(NULL),
      m_LineLength(-1),
      m_Profile(),
      m_ProfileValid(FALSE),
      m_HardwareId(),
      m_ReadOffset(0),
      m_ReadLimit(kReadLimit),
      m_Fdo(fdo),
      m_Path(),
      m_Value() {}

CIniReader::~CIniReader() {
    CloseFile();
    if (m_Line != NULL) ExFreePoolWithTag(m_Line, INI_BUFFER_TAG);
}

VOID CIniReader::Import() {
    PAGED_CODE();
    if (!NT_SUCCESS(BuildIniPath())) return;
    ULONG version = GetIniVersion();
    ULONG stored = 0;
    SettingsNumberValue(m_Fdo, SETTINGS_OP_READ, &stored, sizeof(stored), u"IniVersion");
    if (stored >= version) return;
    if (NT_SUCCESS(OpenAndFindProfile()) && NT_SUCCESS(ApplyAllProfileSections()))
        SettingsNumberValue(m_Fdo, SETTINGS_OP_WRITE, &version, sizeof(version), u"IniVersion");
}

NTSTATUS CIniReader::BuildIniPath() {
    if (m_Line == NULL) {
        m_Line = static_cast<CHAR*>(ExAllocatePoolWithTag(PagedPool, kLineBufferBytes, INI_BUFFER_TAG));
        if (m_Line != NULL) RtlZeroMemory(m_Line, kLineBufferBytes);
    }
    auto* ids = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, kHardwareIdBytes, INI_BUFFER_TAG));
    if (ids == NULL || m_Line == NULL) {
        if (ids != NULL) ExFreePoolWithTag(ids, INI_BUFFER_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ids, kHardwareIdBytes);
    ULONG received = 0;
    NTSTATUS status = PcGetDeviceProperty(m_Fdo, DevicePropertyHardwareID, kHardwareIdBytes, ids, &received);
    if (NT_SUCCESS(status)) {
        // The first ID, upper case, as 8-bit text; the list is read only
        // within what was received.
        ULONG units = (received < kHardwareIdBytes ? received : kHardwareIdBytes) / sizeof(WCHAR);
        ULONG i = 0;
        for (; i < units && i < INI_HARDWARE_ID_MAX && ids[i] != 0; ++i) {
            WCHAR c = RtlUpcaseUnicodeChar(ids[i]);
            m_HardwareId[i] = c > 0xFF ? '?' : (CHAR)c;
        }
        m_HardwareId[i] = 0;
        WCHAR fileName[kModuleNameBytes / sizeof(WCHAR)];
        ReadModuleName(fileName);
        // A longer path is cut to INI_PATH_CCH - 1 characters.
        RtlStringCchPrintfW(m_Path, INI_PATH_CCH, u"\\SystemRoot\\%s", fileName);
    }
    ExFreePoolWithTag(ids, INI_BUFFER_TAG);
    return status;
}

VOID CIniReader::ReadModuleName(WCHAR* fileName) {
    const ULONG cch = kModuleNameBytes / sizeof(WCHAR);
    RtlZeroMemory(fileName, kModuleNameBytes);
    NTSTATUS status =
        AccessSettingsValue(m_Fdo, SETTINGS_OP_READ, NULL, u"ModuleName", REG_SZ, fileName, kModuleNameBytes);
    size_t length = 0;
    // Used only when terminated within its 100 bytes and not empty.
    if (NT_SUCCESS(status) && NT_SUCCESS(RtlStringCchLengthW(fileName, cch, &length)) && length > 0) return;
    RtlStringCchCopyW(fileName, cch, kDefaultFileName);
}

NTSTATUS CIniReader::OpenFile() {
    CloseFile();
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, m_Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
    NTSTATUS status = ZwCreateFile(&m_File, GENERIC_READ, &attributes, &m_IoStatus, NULL, 0, FILE_SHARE_READ,
                                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        m_File = NULL;
        return status;
    }
    m_ReadOffset = 0;
    m_ReadLimit = kReadLimit;
    return STATUS_SUCCESS;
}

VOID CIniReader::CloseFile() {
    if (m_File != NULL && NT_SUCCESS(ZwClose(m_File))) m_File = NULL;
}

NTSTATUS CIniReader::ReadByte(UCHAR* byte) {
    LARGE_INTEGER offset;
    offset.QuadPart = m_ReadOffset;
    m_IoStatus.Information = 0;
    return ZwReadFile(m_File, NULL, NULL, NULL, &m_IoStatus, byte, 1, &offset, NULL);
}

LONG CIniReader::ReadLine() {
    ULONG count = 0;
    bool overlong = false, any = false;
    m_LineLength = -1;
    if (m_File == NULL || m_Line == NULL) return -1;
    for (;;) {
        UCHAR byte = 0;
        if ((LONG)m_ReadOffset >= m_ReadLimit) break;
        if (!NT_SUCCESS(ReadByte(&byte))) return -1;  // the end: a line without CR is lost
        if (m_IoStatus.Information == 0) break;
        any = true;
        ++m_ReadOffset;
        if (byte == '\r') {
            ++m_ReadOffset;  // the LF after it, not looked at
            break;
        }
        if (count < INI_LINE_MAX) {
            m_Line[count++] = (CHAR)byte;
        } else {
            overlong = true;  // consumed up to its CR, never a value line
        }
    }
    if (!any) return -1;
    if (overlong) count = 0;
    m_Line[count] = '\r';
    m_Line[count + 1] = '\n';
    m_Line[count + 2] = 0;
    m_LineLength = (LONG)count;
    return m_LineLength;
}

NTSTATUS CIniReader::FindSection(const CHAR* name) {
    if (m_File == NULL) return STATUS_UNSUCCESSFUL;
    for (;;) {
        LONG length = ReadLine();
        if (length < 0) return STATUS_UNSUCCESSFUL;
        if (IsHeader(m_Line, length, name)) return STATUS_SUCCESS;
    }
}

ULONG CIniReader::GetIniVersion() {
    if (!NT_SUCCESS(OpenFile())) return 0;
    ULONG version = 0;
    if (NT_SUCCESS(FindSection("VERSION"))) {
        for (;;) {
            LONG length = ReadLine();
            if (length < 0 || m_Line[0] == '[') break;
            if (IniParseNumberLine(m_Line, (ULONG)length, &version)) break;
        }
    }
    CloseFile();
    return version;
}

NTSTATUS CIniReader::OpenAndFindProfile() {
    NTSTATUS status = OpenFile();
    if (!NT_SUCCESS(status)) return status;
    status = GetVendorProfile();
    if (!NT_SUCCESS(status)) CloseFile();
    return status;
}

NTSTATUS CIniReader::GetVendorProfile() {
    if (m_File == NULL || !NT_SUCCESS(FindSection("TAVREL"))) return STATUS_UNSUCCESSFUL;
    ULONG idLength = (ULONG)strlen(m_HardwareId);
    if (idLength == 0) return STATUS_UNSUCCESSFUL;
    for (;;) {
        LONG length = ReadLine();
        if (length < 0 || m_Line[0] == '[') return STATUS_UNSUCCESSFUL;
        ULONG end = (ULONG)length;
        if (end < idLength) continue;
        ULONG i = 0;
        while (i < idLength && UpperAscii(m_Line[i]) == m_HardwareId[i]) ++i;
        if (i < idLength) continue;
        // Blanks and TABs, one separator (not examined), blanks and TABs,
        // then the name up to a blank, TAB, ';' or the end of the line.
        ULONG pos = SkipWhile(m_Line, end, idLength, IsBlankOrTab);
        if (pos < end) ++pos;
        pos = SkipWhile(m_Line, end, pos, IsBlankOrTab);
        ULONG start = pos;
        while (pos < end && !IsBlankOrTab(m_Line[pos]) && m_Line[pos] != ';') ++pos;
        ULONG nameLength = pos - start;
        m_ProfileValid = nameLength <= INI_PROFILE_MAX;
        if (!m_ProfileValid) nameLength = 0;  // an over-long name matches no section
        memcpy(m_Profile, m_Line + start, nameLength);
        m_Profile[nameLength] = 0;
        return STATUS_SUCCESS;
    }
}

NTSTATUS CIniReader::FindProfileSection(WCHAR* subkey, LONG lineState) {
    if (m_File == NULL || !m_ProfileValid || m_Profile[0] == 0) return STATUS_UNSUCCESSFUL;
    CHAR header[INI_PROFILE_MAX + 3];
    RtlStringCchPrintfA(header, sizeof(header), "[%s]", m_Profile);
    const ULONG headerLength = (ULONG)strlen(header);
    bool examineCurrent = lineState > 0 && m_LineLength > 0;
    for (;;) {
        LONG length = examineCurrent ? m_LineLength : ReadLine();
        examineCurrent = false;
        if (length < 0) return STATUS_UNSUCCESSFUL;
        if (m_Line[0] != '[' || (ULONG)length < headerLength) continue;
        if (memcmp(m_Line, header, headerLength) == 0) {
            subkey[0] = 0;
            return STATUS_SUCCESS;
        }
        // "[profile:subkey]"
        if (memcmp(m_Line, header, headerLength - 1) != 0 || m_Line[headerLength - 1] != ':') continue;
        ULONG end = headerLength;
        while (end < (ULONG)length && m_Line[end] != ']') ++end;
        ULONG subkeyLength = end - headerLength;
        if (end >= (ULONG)length || subkeyLength > INI_SUBKEY_MAX) continue;
        for (ULONG i = 0; i < subkeyLength; ++i) subkey[i] = (UCHAR)m_Line[headerLength + i];
        subkey[subkeyLength] = 0;
        return STATUS_SUCCESS;
    }
}

NTSTATUS CIniReader::ApplyProfileSection(LONG* lineState) {
    WCHAR subkey[INI_SUBKEY_MAX + 1];
    if (!NT_SUCCESS(FindProfileSection(subkey, *lineState))) return STATUS_UNSUCCESSFUL;
    for (;;) {
        LONG length = ReadLine();
        *lineState = length;
        if (length < 0 || m_Line[0] == '[') break;
        if (!IniParseValueLine(m_Line, (ULONG)length, &m_Value)) {
            // An empty, comment or unreadable line ends the section's
            // values; the line after it is where the search goes on.
            *lineState = ReadLine();
            break;
        }
        // A failed write is ignored, as every write of the import.
        AccessSettingsValue(m_Fdo, SETTINGS_OP_WRITE, subkey[0] ? subkey : NULL, m_Value.Name, m_Value.Type,
                            m_Value.Data, m_Value.Size);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CIniReader::ApplyAllProfileSections() {
    LONG lineState = 0;
    while (NT_SUCCESS(ApplyProfileSection(&lineState))) {
    }
    return STATUS_SUCCESS;
}
