// Identifiers of the wave-cyclic filters: node types of the converter
// node, the vendor DSD sub-format that gets no data range, and the
// signal-processing-mode interface of the miniport. The port-class and
// topology identifiers come from their own headers.
#pragma once

#include <cstddef>
#include <cstring>

#include "adapter/base/unknown.h"
#include "nt/types.h"
#include "portcls/portcls_types.h"

// Converter node of a render (DAC) or capture (ADC) filter.
inline constexpr GUID KSNODETYPE_DAC = {0x507AE360, 0xC554, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
inline constexpr GUID KSNODETYPE_ADC = {0x4D837FE0, 0xC555, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

// {00005A3E-0000-0010-8000-00AA00389B71}: native DSD of the UAC 2.0 model.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_VENDOR_DSD = {
    0x00005A3E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// {B532678C-BE50-472D-9973-8A6F16594989}
inline constexpr GUID IID_IMiniportAudioSignalProcessing = {
    0xB532678C, 0xBE50, 0x472D, {0x99, 0x73, 0x8A, 0x6F, 0x16, 0x59, 0x49, 0x89}};

// The signal-processing modes a miniport offers on a pin.
struct IMiniportAudioSignalProcessing : public IUnknown {
    // modes may be NULL (count only); *count in: room in modes, out: the
    // number of modes.
    virtual NTSTATUS GetModes(ULONG pin, GUID* modes, ULONG* count) = 0;
};

// SubFormat of a byte-packed wave format, read and written through its
// bytes: the member may sit at any address, and binding a GUID reference
// to it would assume four-byte alignment.
inline GUID WaveSubFormat(const WAVEFORMATEXTENSIBLE& format) {
    GUID guid;
    memcpy(&guid, reinterpret_cast<const UCHAR*>(&format) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat), sizeof(guid));
    return guid;
}
inline void SetWaveSubFormat(WAVEFORMATEXTENSIBLE* format, const GUID& guid) {
    memcpy(reinterpret_cast<UCHAR*>(format) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat), &guid, sizeof(guid));
}
