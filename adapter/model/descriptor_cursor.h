// The one bounded walker over the descriptors of a configuration that the
// Audio Control and Audio Streaming parsers use; they never index the raw
// buffer themselves.
//
// The bytes come from the device and are untrusted. A descriptor is
// yielded only when 2 <= bLength <= bytes left (a class-specific one needs
// bLength >= 3, for its subtype) and when it holds every field the parsers
// read for its kind (the minimum-length table in descriptor_cursor.cpp,
// consulted here once). Anything else ends the walk as truncated: the
// parsers fail it with STATUS_UNSUCCESSFUL. The bound is the caller's:
// the bytes from the start position to the end of the configuration the
// transport holds. Any IRQL; no state beyond the cursor itself.
#pragma once

#include "nt/types.h"

// What the class-specific subtypes mean: the walk of an Audio Control
// interface or of an Audio Streaming interface, of a class 1.0 or a class
// 2.0 device (interface protocol 0x20). The two classes reuse subtypes 1-6
// with other layouts, so each has rows of its own.
typedef enum _DESCRIPTOR_SCOPE {
    DESCRIPTOR_SCOPE_AUDIO_CONTROL,
    DESCRIPTOR_SCOPE_AUDIO_STREAMING,
    DESCRIPTOR_SCOPE_AUDIO_CONTROL_2,
    DESCRIPTOR_SCOPE_AUDIO_STREAMING_2,
} DESCRIPTOR_SCOPE;

typedef enum _CURSOR_RESULT {
    CURSOR_DESCRIPTOR,  // *view holds the next descriptor
    CURSOR_END,         // no bytes left
    CURSOR_TRUNCATED,   // the next descriptor does not fit or is too short
} CURSOR_RESULT;

typedef struct _DESCRIPTOR_VIEW {
    const UCHAR* Bytes;  // Length bytes, all inside the walk's bound
    ULONG Length;        // bLength
    UCHAR Type;          // bDescriptorType
    UCHAR Subtype;       // bDescriptorSubtype of a class-specific descriptor, else 0
} DESCRIPTOR_VIEW;

// The minimum bLength of a descriptor of this scope, type and subtype, from
// its leading bytes (a count field may raise it); 2 for kinds the parsers
// do not read. `length` is the descriptor's bLength, so a count field is
// read only when it lies inside the descriptor.
ULONG DescriptorMinimumLength(DESCRIPTOR_SCOPE scope, const UCHAR* descriptor, ULONG length);

class CDescriptorCursor {
public:
    // start: the first descriptor; bytes: from there to the end of the held
    // configuration.
    CDescriptorCursor(const UCHAR* start, ULONG bytes, DESCRIPTOR_SCOPE scope);

    // Moves past the descriptor it yields; a truncated one is not passed
    // (the walk has to end there).
    CURSOR_RESULT Next(DESCRIPTOR_VIEW* view);

    // Where the next descriptor would start, and the bytes from there on.
    const UCHAR* Position() const { return m_Position; }
    ULONG Remaining() const { return m_Remaining; }

private:
    const UCHAR* m_Position;
    ULONG m_Remaining;
    DESCRIPTOR_SCOPE m_Scope;
};

// The UTF-16 code unit i of a string descriptor's text (after bLength and
// bDescriptorType); the caller keeps i below StringDescriptorUnits.
inline USHORT StringUnitAt(const UCHAR* descriptor, ULONG i) {
    return (USHORT)(descriptor[2 + 2 * i] | descriptor[3 + 2 * i] << 8);
}
