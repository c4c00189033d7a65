// The settings-file reader: presets "Settings" values per product from a
// file in the system root ("\SystemRoot\BRONTALWORKS_ORLU.INI", or the
// file named by the "Settings" value "ModuleName").
//
// File format (8-bit text, CR LF line ends, at most 4096 bytes a line):
//   [VERSION]            first value line "name = number": the file version
//   [TAVREL]             "hardware ID = profile" lines; the first whose
//                        beginning equals the device's first hardware ID
//                        (without case) selects the profile
//   [profile]            value lines written to "Settings"
//   [profile:subkey]     value lines written to that subkey of "Settings"
// A value line is "name = tokens"; tokens are separated by blanks, TABs
// and commas and end at CR or ';'. A 4-character token "0x.." is one byte,
// another token beginning with a digit a 4-byte number, anything else
// text: numbers give REG_BINARY in token order, text REG_SZ (the tokens
// joined, no terminator), nothing REG_SZ of size 0.
//
// Untrusted input: every scanner is bounded by the line's length and its
// field limit. A line over 4096 bytes is consumed up to its CR LF and is
// no value line; nor is a line with an over-long name or token, one that
// mixes text and number tokens, or one over 1024 data bytes. An over-long
// profile or subkey name matches no section. Only the first number of a
// version line counts.
//
// Created and destroyed within one adapter Init (PASSIVE_LEVEL).
#pragma once

#include "adapter/base/pool_new.h"
#include "nt/io.h"

inline constexpr ULONG INI_READER_TAG = MakePoolTag("PINI");
inline constexpr ULONG INI_BUFFER_TAG = MakePoolTag(" INI");

#define INI_LINE_MAX 4096
#define INI_NAME_MAX 127         // value name characters
#define INI_TOKEN_MAX 79         // value token characters
#define INI_NUMBER_NAME_MAX 19   // version line: name characters
#define INI_NUMBER_TOKEN_MAX 19  // version line: token characters
#define INI_DATA_MAX 1024        // data bytes of one value line
#define INI_PROFILE_MAX 49       // profile name characters
#define INI_SUBKEY_MAX 79        // subkey name characters
#define INI_HARDWARE_ID_MAX 99
#define INI_PATH_CCH 50          // path characters with the terminator

// One parsed value line of a profile section.
typedef struct _INI_VALUE {
    WCHAR Name[INI_NAME_MAX + 1];
    ULONG Type;  // REG_BINARY or REG_SZ
    ULONG Size;  // bytes of Data
    UCHAR Data[INI_DATA_MAX];
} INI_VALUE;

// The number syntax: "0x"/"0X" and hex digits, else decimal when the first
// character is a digit, else 0. Every character counts as a digit without
// a check (decimal: its code minus '0'; hex: '0'-'9', 'a'-'f', anything
// else its code minus 'A' plus 10); 32-bit, wrapping. length: characters.
ULONG IniParseNumber(const CHAR* token, ULONG length);
// A profile-section line (length bytes, without the CR): TRUE and *value
// when it is a value line.
BOOLEAN IniParseValueLine(const CHAR* line, ULONG length, INI_VALUE* value);
// A [VERSION] line: TRUE and the first number when it is a value line.
BOOLEAN IniParseNumberLine(const CHAR* line, ULONG length, ULONG* number);

class CIniReader : public CPoolObject {
public:
    // fdo: the adapter's FDO (hardware IDs, "Settings").
    explicit CIniReader(PDEVICE_OBJECT fdo);
    ~CIniReader();
    CIniReader(const CIniReader&) = delete;
    CIniReader& operator=(const CIniReader&) = delete;

    // The whole import: when the file's version is above the stored
    // "IniVersion" (unsigned), applies this device's profile and then
    // stores the file's version. Nothing here fails the caller.
    VOID Import();

    // The steps, in the order Import runs them.
    NTSTATUS BuildIniPath();
    ULONG GetIniVersion();
    NTSTATUS OpenAndFindProfile();
    NTSTATUS ApplyAllProfileSections();

    const WCHAR* Path() const { return m_Path; }
    const CHAR* Profile() const { return m_Profile; }
    const CHAR* HardwareId() const { return m_HardwareId; }

private:
    NTSTATUS OpenFile();
    VOID CloseFile();
    // The next line into the line buffer, CR LF and a zero appended; its
    // length without the CR, or -1 at the end of the file (a last line
    // without CR included). A line over INI_LINE_MAX bytes is consumed to
    // its CR LF and comes back empty.
    LONG ReadLine();
    NTSTATUS ReadByte(UCHAR* byte);
    NTSTATUS FindSection(const CHAR* name);
    NTSTATUS GetVendorProfile();
    // The next header of one of the profile's sections; lineState > 0:
    // the line in the buffer is examined first.
    NTSTATUS FindProfileSection(WCHAR* subkey, LONG lineState);
    NTSTATUS ApplyProfileSection(LONG* lineState);
    VOID ReadModuleName(WCHAR* fileName);

    HANDLE m_File;
    IO_STATUS_BLOCK m_IoStatus;
    CHAR* m_Line;  // INI_LINE_MAX + CR LF + zero, paged pool
    LONG m_LineLength;
    CHAR m_Profile[INI_PROFILE_MAX + 1];
    BOOLEAN m_ProfileValid;  // FALSE: the profile name was over-long
    CHAR m_HardwareId[INI_HARDWARE_ID_MAX + 1];
    ULONG m_ReadOffset;
    LONG m_ReadLimit;
    PDEVICE_OBJECT m_Fdo;
    WCHAR m_Path[INI_PATH_CCH];
    INI_VALUE m_Value;  // the line being written (too big for the stack)
};
