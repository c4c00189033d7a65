// Run-time library of the kernel stand-in: counted strings, memory helpers,
// bounded ("safe") string copies and the printf family, GUID text forms.
//
// WCHAR is char16_t (UTF-16 code units); UNICODE_STRING lengths are in bytes.
// Case-insensitive comparisons fold ASCII and Latin-1 letters.
#pragma once

#include <cstdarg>
#include <cstring>

#include "nt/status.h"

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Source1, Source2, Length) (!memcmp((Source1), (Source2), (Length)))

// Number of leading bytes that are equal (Length when the blocks match).
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------
// Counted strings
// ---------------------------------------------------------------------------
typedef const STRING* PCANSI_STRING;

// Upper case of one code unit (ASCII and Latin-1 letters; others unchanged).
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// Points Destination at Source (not copied). NULL gives an empty string with
// a NULL buffer. Lengths are capped at the largest even USHORT.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);

// Copies as much of Source as Destination's MaximumLength holds; terminates
// when there is room. Source NULL gives an empty Destination.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);

// Both append in full or fail with STATUS_BUFFER_TOO_SMALL, leaving
// Destination unchanged; the result is terminated when there is room.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// < 0, 0, > 0 as String1 sorts before, equal to or after String2.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);

// Conversions between UTF-16 and 8-bit text. The 8-bit side is Latin-1: code
// units above 0xFF become '?'. With Allocate TRUE the buffer comes from paged
// pool and is freed with RtlFreeAnsiString / RtlFreeUnicodeString; without,
// a result that does not fit gives STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
// Frees a buffer that an Rtl or Io routine allocated (any pool block).
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);

// Leading blanks, an optional sign, then digits in Base (0: a "0x", "0o" or
// "0b" prefix picks 16, 8 or 2, else 10). Parsing stops at the first
// character that is not a digit; the value wraps at 32 bits.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
// Base 0 means 10; 2, 8, 10 and 16 (upper-case digits) are accepted.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, allocated from
// paged pool (free with RtlFreeUnicodeString).
NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
// Accepts exactly that form, hex digits of either case; anything else gives
// STATUS_INVALID_PARAMETER and leaves *Guid unchanged.
NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

// C run-time helpers over UTF-16 text that driver code uses.
size_t wcslen(const WCHAR* s);
int wcscmp(const WCHAR* a, const WCHAR* b);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
// Upper-cases s in place (as RtlUpcaseUnicodeChar) and returns it.
WCHAR* _wcsupr(WCHAR* s);

// ---------------------------------------------------------------------------
// Bounded strings. Counts are in characters (Cch) or bytes (Cb) and include
// the terminator. A count of 0 or above NTSTRSAFE_MAX_CCH, or a NULL
// pointer, gives STATUS_INVALID_PARAMETER. A result too long for the buffer
// is cut to the count less one, terminated, and STATUS_BUFFER_OVERFLOW is
// returned. Every successful or truncated result is terminated.
// ---------------------------------------------------------------------------
#define NTSTRSAFE_MAX_CCH 2147483647

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
// Fails with STATUS_INVALID_PARAMETER when pszDest holds no terminator
// within cchDest.
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
// Length without the terminator; no terminator within cchMax gives
// STATUS_INVALID_PARAMETER and *pcchLength = 0. pcchLength may be NULL.
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);

// The printf family on the stand-in's own formatter. Conversions:
//   %d %i %u %x %X %o  integers; sizes h, l (32 bits, as on the platform),
//                      ll, I64, I32, I (pointer size), z
//   %p                 pointer as 16 upper-case hex digits
//   %c %C %wc %hc      character (W: %c wide, %C narrow; A: the reverse)
//   %s %S %ws %hs      string (W: %s wide, %S narrow; A: the reverse);
//                      NULL prints "(null)"
//   %%                 a percent sign
// Flags '-', '0', '+', ' ', '#'; width and precision as numbers or '*'.
// An unknown conversion gives STATUS_INVALID_PARAMETER and an empty result.
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);
