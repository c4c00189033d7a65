// Byte-rate conversion of the wave stream (see byte_rate.h).
#include "stream/wave/byte_rate.h"

WAVE_RATE_PARTS WaveRateParts(ULONG bytesPerSecond) {
    WAVE_RATE_PARTS parts;
    parts.BytesPerMs = bytesPerSecond / 1000;
    parts.Thousandths = bytesPerSecond % 1000;
    parts.Acc = 0;
    return parts;
}

ULONG WaveConvertBytes(WAVE_RATE_CONVERTER* c, ULONG clientBytes) {
    if (c->Client.BytesPerMs == 0) return 0;
    // 1. Whole milliseconds of the client's bytes, with the carry.
    LONGLONG total = (LONGLONG)clientBytes + c->Carry;
    ULONGLONG ms = total > 0 ? (ULONGLONG)total / c->Client.BytesPerMs : 0;
    // 2. What those milliseconds really cost the client, thousandths kept.
    ULONGLONG h = (ULONGLONG)c->Client.Thousandths * ms + c->Client.Acc;
    c->Carry = (LONG)(total - (LONGLONG)(c->Client.BytesPerMs * ms) - (LONGLONG)(h / 1000));
    c->Client.Acc = (ULONG)(h % 1000);
    // 3. The same milliseconds in the stream's bytes, thousandths kept.
    ULONGLONG k = (ULONGLONG)c->Stream.Thousandths * ms + c->Stream.Acc;
    c->Stream.Acc = (ULONG)(k % 1000);
    return (ULONG)(c->Stream.BytesPerMs * ms + k / 1000);
}
