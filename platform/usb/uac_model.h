// Class state of a simulated USB Audio Class device, derived from its own
// descriptor bytes by a walker written apart from the driver's parsers:
// lengths are never trusted (a descriptor is used only when 2 <= bLength <=
// bytes left and it is long enough for the fields read), and whatever the
// walker cannot parse simply has no state, so requests for it stall.
//
// It answers the Audio Control requests of the driver's catalogue (feature
// unit switches and levels with CUR/MIN/MAX/RES or CUR/RANGE, GET_MEM/MEM
// vendor blocks, vendor selectors, selectors, output terminal types and
// type lists, jack lists and connection status, clock frequency, range and
// validity), the Audio Class 1.0 endpoint sampling frequency, and the Audio
// Class 2.0 Audio Streaming interface's active and valid alternate
// settings. SET then GET agrees; a SET outside [MIN, MAX] is clamped.
// Not thread-safe: SimDevice serialises every call.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "platform/usb/uac_builder.h"

namespace simusb {

struct SetupPacket {
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;
};

// USBD status and the bytes of the data stage (IN: written to the buffer).
struct ControlAnswer {
    USBD_STATUS status = USBD_STATUS_STALL_PID;
    ULONG bytes = 0;
};

struct EndpointInfo {
    UCHAR address = 0;
    UCHAR attributes = 0;
    USHORT maxPacketSize = 0;
    UCHAR interval = 0;
    UCHAR synchAddress = 0;  // Audio Class 1.0 explicit feedback endpoint
    UCHAR csAttributes = 0;  // class-specific endpoint bmAttributes
};

// Audio format of a streaming alternate setting (type I PCM).
struct StreamFormat {
    UCHAR channels = 0;
    UCHAR subframeSize = 0;  // bytes per sample
    UCHAR bits = 0;
    ULONG FrameBytes() const { return (ULONG)channels * subframeSize; }
};

struct AltSetting {
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR cls = 0, subclass = 0, protocol = 0;
    std::vector<EndpointInfo> endpoints;
    bool hasFormat = false;
    UCHAR terminalLink = 0;
    StreamFormat format;
    std::vector<ULONG> rates;    // Audio Class 1.0 discrete rates
    ULONG lowerRate = 0, upperRate = 0;  // Audio Class 1.0 continuous range
};

// Interfaces and alternate settings of the configuration, as walked.
struct ConfigLayout {
    std::vector<AltSetting> alts;
    const AltSetting* Find(UCHAR number, UCHAR alternate) const;
    std::set<UCHAR> Interfaces() const;
};
ConfigLayout WalkConfiguration(const Bytes& configuration);

// One device jack: channel mapping and the configuration word of the
// jack-list answer.
struct Jack {
    ULONG channelMapping = 0;
    ULONG config = 0;
};

class UacModel {
public:
    explicit UacModel(const Bytes& configuration);

    const ConfigLayout& layout() const { return layout_; }
    int classVersion() const { return version_; }  // 1, 2, or 0 without Audio Control
    UCHAR acInterface() const { return acInterface_; }

    // Class and vendor requests routed to the audio function. False when
    // the request is not addressed to it (the caller then tries others).
    bool Handle(const SetupPacket& setup, uint8_t* data, ULONG length, ControlAnswer* answer);

    // Alternate settings, kept here for the 2.0 active-setting request and
    // for stream rates; SimDevice changes them on SET_INTERFACE.
    UCHAR CurrentAlternate(UCHAR interfaceNumber) const;
    void SetCurrentAlternate(UCHAR interfaceNumber, UCHAR alternate);
    void ResetAlternates();
    // The streaming alternate setting that holds endpoint now, or NULL.
    const AltSetting* ActiveAltFor(UCHAR endpoint) const;
    // Rate of the stream an endpoint carries: Audio Class 1.0 from the
    // endpoint's sampling frequency, 2.0 from the clock of its terminal.
    ULONG StreamRate(UCHAR endpoint) const;

    // Test access to control values: cs is the control selector, ch the
    // device channel; selectors use cs 0 (1.0) or 1 (2.0) and channel 0.
    bool HasControl(UCHAR entity, UCHAR cs, UCHAR ch) const;
    bool GetValue(UCHAR entity, UCHAR cs, UCHAR ch, LONG* value) const;
    bool SetValue(UCHAR entity, UCHAR cs, UCHAR ch, LONG value);  // no clamping
    bool SetRange(UCHAR entity, UCHAR cs, UCHAR ch, LONG minimum, LONG maximum, LONG resolution);
    // Memory space of a unit (GET_MEM / MEM), e.g. the vendor control block
    // of a feature unit; the block's vendor controls become present.
    void SetMemory(UCHAR entity, Bytes block);
    void SetJacks(UCHAR terminal, std::vector<Jack> jacks);
    // Jacks of one selectable type of an output terminal: the jack list
    // then answers the list of the type selected at the time (an empty list
    // for a type without one).
    void SetJacksForType(UCHAR terminal, USHORT type, std::vector<Jack> jacks);
    void SetConnectedMask(UCHAR terminal, ULONG mask);
    // Selectable USB terminal types of an output terminal (vendor list and
    // selection); the first becomes current.
    void SetTerminalTypes(UCHAR terminal, std::vector<USHORT> types);
    USHORT CurrentTerminalType(UCHAR terminal) const;
    // The device switches the type by itself (say, a plug detected); false
    // when the terminal does not list it.
    bool SelectTerminalType(UCHAR terminal, USHORT type);
    // Clock sources: the rates RANGE lists, and those a SET accepts (by
    // default the listed ones).
    void SetClockRates(UCHAR clock, std::vector<ULONG> rates);
    // RANGE of a clock source as these subranges {MIN, MAX, RES} in order
    // (a continuous range, say); SetClockRates gives {r, r, 0} again.
    using ClockSubrange = simusb::ClockSubrange;
    void SetClockSubranges(UCHAR clock, std::vector<ClockSubrange> subranges);
    void SetClockAcceptedRates(UCHAR clock, std::vector<ULONG> rates);
    void SetClockValid(UCHAR clock, bool valid);
    ULONG ClockRate(UCHAR clock) const;
    bool IsClockSource(UCHAR id) const;
    // Audio Class 2.0 valid alternate settings of a streaming interface
    // (bit n: alternate setting n); by default every present setting.
    void SetValidAlternates(UCHAR interfaceNumber, ULONG mask);

private:
    struct Control {
        LONG cur = 0, min = 0, max = 0, res = 1;
        UCHAR width = 1;
        bool isSigned = false;
        bool writable = true;
    };
    struct Entity {
        UCHAR subtype = 0;
        USHORT terminalType = 0;
        UCHAR clock = 0;       // 2.0 terminals: bCSourceID
        UCHAR inputs = 0;      // selector inputs
        ULONG connected = 0;   // connection status mask
        UCHAR channels = 0;
        bool hasJacks = false;
        std::vector<Jack> jacks;
        std::map<USHORT, std::vector<Jack>> typeJacks;  // by selectable type
        std::vector<USHORT> types;  // selectable terminal types
        USHORT currentType = 0;
        Bytes memory;
        std::vector<ULONG> rates, accepted;
        std::vector<ClockSubrange> subranges;  // in place of rates when set
        ULONG rate = 0;
        bool clockValid = true;
    };
    static uint32_t Key(UCHAR entity, UCHAR cs, UCHAR ch) {
        return (uint32_t)entity << 16 | (uint32_t)cs << 8 | ch;
    }

    void WalkAudioControl(const Bytes& configuration);
    void AddFeatureUnit(const uint8_t* d);
    void AddControl(UCHAR entity, UCHAR cs, UCHAR ch, bool writable);
    void AddVendorControls(UCHAR entity);
    bool HandleEntity(const SetupPacket& s, uint8_t* data, ULONG length, ControlAnswer* a);
    bool HandleStreamingInterface(const SetupPacket& s, uint8_t* data, ULONG length,
                                  ControlAnswer* a);
    bool HandleEndpoint(const SetupPacket& s, uint8_t* data, ULONG length, ControlAnswer* a);
    bool ControlRequest(UCHAR entity, UCHAR cs, UCHAR ch, const SetupPacket& s, uint8_t* data,
                        ULONG length, ControlAnswer* a);
    bool TerminalRequest(Entity& e, const SetupPacket& s, uint8_t* data, ULONG length,
                         ControlAnswer* a);
    static const std::vector<Jack>& CurrentJacks(const Entity& e);
    bool ClockRequest(Entity& e, const SetupPacket& s, uint8_t* data, ULONG length,
                      ControlAnswer* a);

    ConfigLayout layout_;
    int version_ = 0;
    UCHAR acInterface_ = 0xFF;
    std::map<UCHAR, Entity> entities_;
    std::map<uint32_t, Control> controls_;
    std::map<UCHAR, UCHAR> currentAlt_;
    std::map<UCHAR, ULONG> endpointRate_;  // Audio Class 1.0
    std::map<UCHAR, ULONG> validAlts_;
};

}  // namespace simusb
