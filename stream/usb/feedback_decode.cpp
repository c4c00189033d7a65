// Explicit feedback decoding and its correction tables.
#include "stream/usb/feedback_decode.h"

// Full speed, values after the shift into 16.16 (a quarter of them is on
// the wire): 43.6, 44.1, 44.6, 87.7, 88.2, 88.7, 175.9, 176.4 and 176.9
// samples per frame.
const FEEDBACK_CORRECTION kFeedback3Corrections[FEEDBACK_CORRECTIONS] = {
    {0x2B9900, 0x2B99A0}, {0x2C1900, 0x2C199A}, {0x2C9900, 0x2C99A0},
    {0x57B300, 0x57B338}, {0x583300, 0x583338}, {0x58B300, 0x58B338},
    {0xAFE600, 0xAFE668}, {0xB06600, 0xB06668}, {0xB0E600, 0xB0E668},
};

// High speed with eight packets per frame: one eighth of the same rates
// per packet.
const FEEDBACK_CORRECTION kFeedback4Corrections[FEEDBACK_CORRECTIONS] = {
    {0x057380, 0x057334}, {0x058380, 0x058334}, {0x059380, 0x059334},
    {0x0AF640, 0x0AF667}, {0x0B0640, 0x0B0667}, {0x0B1640, 0x0B1667},
    {0x15FC60, 0x15FCCD}, {0x160C60, 0x160CCD}, {0x161C60, 0x161CCD},
};

ULONG ReadFeedbackWireValue(const UCHAR* p, BOOLEAN highSpeed) {
    ULONG value = (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16;
    if (highSpeed) value |= (ULONG)p[3] << 24;
    return value;
}

ULONG ReadFeedbackValue(const UCHAR* p, BOOLEAN highSpeed) {
    ULONG value = ReadFeedbackWireValue(p, highSpeed);
    const FEEDBACK_CORRECTION* table = highSpeed ? kFeedback4Corrections : kFeedback3Corrections;
    if (!highSpeed) value <<= 2;
    for (ULONG i = 0; i < FEEDBACK_CORRECTIONS; i++)
        if (table[i].Value == value) return table[i].Replacement;
    return value;
}

ULONG FeedbackValueToRate(ULONG value, ULONG packetsPerSecond) {
    return (value >> 16) * packetsPerSecond + (((value & 0xFFFF) * packetsPerSecond) >> 16);
}

BOOLEAN DecodeFeedbackTransfer(const FEEDBACK_TRANSFER& t, LONG* rate, FEEDBACK_DROPS* drops) {
    if (drops) *drops = FEEDBACK_DROPS{};
    if (t.Frames == 0 || t.PacketsPerFrame == 0) return FALSE;
    const ULONG bytes = FeedbackValueBytes(t.HighSpeed);
    const LONGLONG nominal = t.NominalRate;
    LONGLONG sum = 0;
    LONG count = 0;
    for (ULONG frame = 0; frame < t.Frames; frame++) {
        const ULONG packet = frame * t.PacketsPerFrame + t.PacketsPerFrame - 1;
        const UCHAR* at = t.Buffer + packet * bytes;
        const ULONG value = ReadFeedbackValue(at, t.HighSpeed);
        if (value == 0) continue;  // the packet brought nothing
        const LONGLONG frameRate = FeedbackValueToRate(value, t.PacketsPerSecond);
        if (frameRate < nominal - 1000 || frameRate > nominal + 1000) {
            if (drops && drops->Count++ == 0) drops->FirstWireValue = ReadFeedbackWireValue(at, t.HighSpeed);
            continue;
        }
        sum += frameRate;
        count++;
    }
    if (count == 0) return FALSE;
    const LONG mean = (LONG)(sum / count);
    const LONG deviation = mean - (LONG)t.NominalRate;
    const LONG step = (LONG)(500 / t.Frames);
    *rate = deviation == step || deviation == -step ? mean + deviation : mean;
    return TRUE;
}
