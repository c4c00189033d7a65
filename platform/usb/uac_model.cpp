#include "platform/usb/uac_model.h"

#include <algorithm>

namespace simusb {

namespace {

ULONG Le16(const uint8_t* p) { return p[0] | (ULONG)p[1] << 8; }
ULONG Le24(const uint8_t* p) { return Le16(p) | (ULONG)p[2] << 16; }
ULONG Le32(const uint8_t* p) { return Le24(p) | (ULONG)p[3] << 24; }
void PutLe(Bytes& b, ULONG v, int width) {
    for (int i = 0; i < width; ++i) b.push_back((uint8_t)(v >> (8 * i)));
}

// Calls fn(offset) for each descriptor that fits: 2 <= bLength <= bytes left.
template <typename Fn>
void Walk(const Bytes& b, Fn fn) {
    size_t at = 0;
    while (b.size() - at >= 2 && b[at] >= 2 && b[at] <= b.size() - at) {
        if (!fn(at)) return;
        at += b[at];
    }
}

bool IsIn(const SetupPacket& s) { return (s.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0; }
UCHAR RequestType(const SetupPacket& s) { return s.bmRequestType & BMREQUEST_TYPE_MASK; }
UCHAR Recipient(const SetupPacket& s) { return s.bmRequestType & BMREQUEST_RECIPIENT_MASK; }

ControlAnswer Stall() { return {USBD_STATUS_STALL_PID, 0}; }

// Copies an answer into the data stage, truncated to the host's length.
ControlAnswer Reply(const Bytes& b, uint8_t* data, ULONG length) {
    const ULONG n = std::min<ULONG>((ULONG)b.size(), length);
    if (n) std::copy(b.begin(), b.begin() + n, data);
    return {USBD_STATUS_SUCCESS, n};
}

void ParseStreamingDescriptor(AltSetting& a, const uint8_t* d) {
    const bool v2 = a.protocol == USB_AUDIO_PROTOCOL_2_0;
    if (d[2] == UAC_AS_GENERAL) {
        if (d[0] >= (v2 ? 16 : 7)) a.terminalLink = d[3];
        if (v2 && d[0] >= 16) a.format.channels = d[10];
    } else if (d[2] == UAC_FORMAT_TYPE && d[0] >= 4 && d[3] == UAC_FORMAT_TYPE_I) {
        if (v2 && d[0] >= 6) {
            a.format.subframeSize = d[4];
            a.format.bits = d[5];
            a.hasFormat = true;
        } else if (!v2 && d[0] >= 8) {
            a.format = {d[4], d[5], d[6]};
            const ULONG n = d[7];
            if (n == 0 && d[0] >= 14) {
                a.lowerRate = Le24(d + 8);
                a.upperRate = Le24(d + 11);
                a.hasFormat = true;
            } else if (n > 0 && d[0] >= 8 + 3 * n) {
                for (ULONG i = 0; i < n; ++i) a.rates.push_back(Le24(d + 8 + 3 * i));
                a.hasFormat = true;
            }
        }
    }
}

bool RateSupported(const AltSetting& a, ULONG rate) {
    if (!a.rates.empty()) return std::find(a.rates.begin(), a.rates.end(), rate) != a.rates.end();
    return a.hasFormat && rate >= a.lowerRate && rate <= a.upperRate;
}

}  // namespace

const AltSetting* ConfigLayout::Find(UCHAR number, UCHAR alternate) const {
    for (const AltSetting& a : alts)
        if (a.number == number && a.alternate == alternate) return &a;
    return nullptr;
}

std::set<UCHAR> ConfigLayout::Interfaces() const {
    std::set<UCHAR> s;
    for (const AltSetting& a : alts) s.insert(a.number);
    return s;
}

ConfigLayout WalkConfiguration(const Bytes& b) {
    ConfigLayout layout;
    AltSetting* current = nullptr;
    Walk(b, [&](size_t at) {
        const uint8_t* d = b.data() + at;
        switch (d[1]) {
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            if (d[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) break;
            layout.alts.push_back({});
            current = &layout.alts.back();
            current->number = d[2];
            current->alternate = d[3];
            current->cls = d[5];
            current->subclass = d[6];
            current->protocol = d[7];
            break;
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            if (current == nullptr || d[0] < sizeof(USB_ENDPOINT_DESCRIPTOR)) break;
            current->endpoints.push_back(
                {d[2], d[3], (USHORT)Le16(d + 4), d[6], (UCHAR)(d[0] >= 9 ? d[8] : 0), 0});
            break;
        case USB_CS_ENDPOINT_DESCRIPTOR_TYPE:
            if (current && !current->endpoints.empty() && d[0] >= 4 && d[2] == UAC_EP_GENERAL)
                current->endpoints.back().csAttributes = d[3];
            break;
        case USB_CS_INTERFACE_DESCRIPTOR_TYPE:
            if (current && d[0] >= 3 && current->cls == USB_DEVICE_CLASS_AUDIO &&
                current->subclass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
                ParseStreamingDescriptor(*current, d);
            break;
        }
        return true;
    });
    return layout;
}

UacModel::UacModel(const Bytes& configuration) : layout_(WalkConfiguration(configuration)) {
    for (const AltSetting& a : layout_.alts) {
        currentAlt_[a.number] = 0;
        if (a.cls == USB_DEVICE_CLASS_AUDIO && a.subclass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
            acInterface_ == 0xFF) {
            acInterface_ = a.number;
            version_ = a.protocol == USB_AUDIO_PROTOCOL_2_0 ? 2 : 1;
        }
    }
    if (version_ != 0) WalkAudioControl(configuration);
}

void UacModel::WalkAudioControl(const Bytes& b) {
    bool inside = false;
    Walk(b, [&](size_t at) {
        const uint8_t* d = b.data() + at;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (inside) return false;  // the Audio Control interface ended
            inside = d[0] >= 9 && d[2] == acInterface_ && d[5] == USB_DEVICE_CLASS_AUDIO &&
                     d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL;
            return true;
        }
        if (!inside || d[1] != USB_CS_INTERFACE_DESCRIPTOR_TYPE || d[0] < 4) return true;
        const UCHAR id = d[3];
        if (d[2] == UAC_AC_HEADER || entities_.count(id)) return true;  // first id wins
        Entity e;
        e.subtype = d[2];
        switch (d[2]) {
        case UAC_INPUT_TERMINAL:
            if (d[0] < (version_ == 2 ? 17 : 12)) return true;
            e.terminalType = (USHORT)Le16(d + 4);
            e.clock = version_ == 2 ? d[7] : 0;
            e.channels = version_ == 2 ? d[8] : d[7];
            break;
        case UAC_OUTPUT_TERMINAL:
            if (d[0] < (version_ == 2 ? 12 : 9)) return true;
            e.terminalType = (USHORT)Le16(d + 4);
            e.clock = version_ == 2 ? d[8] : 0;
            break;
        case UAC_SELECTOR_UNIT:
            if (d[0] < 5 + d[4] || d[4] == 0) return true;
            e.inputs = d[4];
            break;
        case UAC_FEATURE_UNIT:
            break;
        case UAC2_CLOCK_SOURCE:
            if (version_ != 2 || d[0] < 8) return true;
            e.rates.assign(std::begin(kUac2ClockRates), std::end(kUac2ClockRates));
            e.accepted = e.rates;
            e.rate = 48000;
            break;
        default:
            break;  // mixer, extension and others: present, without controls
        }
        e.currentType = e.terminalType;
        entities_[id] = e;
        if (d[2] == UAC_FEATURE_UNIT) AddFeatureUnit(d);
        if (d[2] == UAC_SELECTOR_UNIT) {
            const UCHAR cs = version_ == 2 ? UAC2_SU_SELECTOR : 0;
            AddControl(id, cs, 0, true);
            Control& c = controls_[Key(id, cs, 0)];
            c = {1, 1, e.inputs, 1, 1, false, true};
        }
        return true;
    });
}

void UacModel::AddFeatureUnit(const uint8_t* d) {
    const UCHAR id = d[3];
    if (version_ == 1) {
        const ULONG size = d[0] >= 7 ? d[5] : 0;
        if (size != 1 && size != 2) return;  // not a layout the model understands
        const ULONG entries = (d[0] - 7) / size;
        for (ULONG k = 0; k < entries; ++k) {
            const ULONG bits = d[6 + k * size] | (size == 2 ? d[7 + k * size] << 8 : 0);
            for (UCHAR cs = 1; cs <= 16; ++cs)
                if (bits & (1u << (cs - 1))) AddControl(id, cs, (UCHAR)k, true);
        }
    } else {
        const ULONG entries = d[0] >= 6 ? (d[0] - 6) / 4 : 0;
        for (ULONG k = 0; k < entries; ++k) {
            const ULONG bits = Le32(d + 5 + 4 * k);
            for (UCHAR cs = 1; cs <= 16; ++cs) {
                const ULONG pair = (bits >> (2 * cs - 2)) & 3;
                if (pair) AddControl(id, cs, (UCHAR)k, pair == 3);
            }
        }
    }
}

void UacModel::AddControl(UCHAR entity, UCHAR cs, UCHAR ch, bool writable) {
    Control c;
    c.writable = writable;
    switch (cs) {
    case UAC_FU_MUTE:
    case UAC_FU_AUTOMATIC_GAIN:
    case UAC_FU_BASS_BOOST:
    case UAC_FU_LOUDNESS:
        c = {0, 0, 1, 1, 1, false, writable};
        break;
    case UAC_FU_VOLUME:
    case UAC2_FU_INPUT_GAIN:
    case UAC2_FU_INPUT_GAIN_PAD:
    case 0x82:  // vendor software volume, 1/256 dB
        c = {-0x0A00, -0x3C00, 0x0000, 0x0100, 2, true, writable};  // -10 dB in -60..0 dB
        break;
    case UAC_FU_BASS:
    case UAC_FU_MID:
    case UAC_FU_TREBLE:
        c = {0, -48, 48, 4, 1, true, writable};  // 1/4 dB: -12..+12 dB in 1 dB steps
        break;
    default:
        if (cs < 0x80) return;  // equaliser, delay: not modelled, requests stall
        c = {0, 0, 1, 1, 1, false, writable};  // vendor switch, one byte
        break;
    }
    controls_[Key(entity, cs, ch)] = c;
}

// Vendor controls of a feature unit's memory block: 1.0 entries of control
// size 2 from offset 19, 2.0 entries of 4 bytes (control pairs) from 18.
void UacModel::AddVendorControls(UCHAR entity) {
    const Bytes& m = entities_[entity].memory;
    if (m.size() < 19) return;
    const ULONG total = std::min<ULONG>(Le16(m.data() + 16), (ULONG)m.size());
    if (version_ == 1) {
        if (m[18] != 2 || total < 19) return;
        for (ULONG k = 0; k < (total - 19) / 2; ++k) {
            const ULONG bits = Le16(m.data() + 19 + 2 * k);
            for (UCHAR b = 0; b < 16; ++b)
                if (bits & (1u << b)) AddControl(entity, (UCHAR)(0x80 | (b + 1)), (UCHAR)k, true);
        }
    } else {
        for (ULONG k = 0; total >= 18 && k < (total - 18) / 4; ++k) {
            const ULONG bits = Le32(m.data() + 18 + 4 * k);
            for (UCHAR p = 0; p < 16; ++p) {
                const ULONG pair = (bits >> (2 * p)) & 3;
                if (pair) AddControl(entity, (UCHAR)(0x80 + p + 1), (UCHAR)k, pair == 3);
            }
        }
    }
}

bool UacModel::Handle(const SetupPacket& s, uint8_t* data, ULONG length, ControlAnswer* a) {
    const UCHAR type = RequestType(s);
    if (version_ == 0 || (type != BMREQUEST_CLASS && type != BMREQUEST_VENDOR)) return false;
    if (Recipient(s) == BMREQUEST_TO_ENDPOINT && type == BMREQUEST_CLASS)
        return HandleEndpoint(s, data, length, a);
    if (Recipient(s) != BMREQUEST_TO_INTERFACE) return false;
    if ((s.wIndex & 0xFF) == acInterface_ && (s.wIndex >> 8) != 0)
        return HandleEntity(s, data, length, a);
    if (type == BMREQUEST_CLASS) return HandleStreamingInterface(s, data, length, a);
    return false;
}

bool UacModel::HandleEntity(const SetupPacket& s, uint8_t* data, ULONG length,
                            ControlAnswer* a) {
    *a = Stall();
    auto it = entities_.find((UCHAR)(s.wIndex >> 8));
    if (it == entities_.end()) return true;
    Entity& e = it->second;
    const bool vendor = RequestType(s) == BMREQUEST_VENDOR;
    const UCHAR cs = s.wValue >> 8, ch = s.wValue & 0xFF;
    const bool mem = !vendor && IsIn(s) && s.bRequest == (version_ == 2 ? UAC2_MEM : UAC1_GET_MEM);
    if (mem) {
        if (s.wValue < e.memory.size())
            *a = Reply(Bytes(e.memory.begin() + s.wValue, e.memory.end()), data, length);
        return true;
    }
    switch (e.subtype) {
    case UAC_FEATURE_UNIT:
        // 1.0 reaches vendor selectors (0x80 and above) by vendor requests,
        // the others by class requests; 2.0 uses class requests for all.
        if (version_ == 2 ? !vendor : vendor == (cs >= 0x80))
            return ControlRequest(it->first, cs, ch, s, data, length, a);
        return true;
    case UAC_SELECTOR_UNIT:
        if (!vendor && s.wValue == (version_ == 2 ? 0x0100 : 0x0000))
            return ControlRequest(it->first, version_ == 2 ? 1 : 0, 0, s, data, length, a);
        return true;
    case UAC_INPUT_TERMINAL:
    case UAC_OUTPUT_TERMINAL:
        if (vendor == (version_ == 1)) return TerminalRequest(e, s, data, length, a);
        return true;
    case UAC2_CLOCK_SOURCE:
        if (!vendor) return ClockRequest(e, s, data, length, a);
        return true;
    default:
        return true;
    }
}

bool UacModel::ControlRequest(UCHAR entity, UCHAR cs, UCHAR ch, const SetupPacket& s,
                              uint8_t* data, ULONG length, ControlAnswer* a) {
    *a = Stall();
    auto it = controls_.find(Key(entity, cs, ch));
    if (it == controls_.end()) return true;
    Control& c = it->second;
    auto encode = [&](Bytes& b, LONG v) { PutLe(b, (ULONG)v, c.width); };
    Bytes b;
    if (IsIn(s)) {
        if (version_ == 1) {
            const LONG* v = s.bRequest == UAC1_GET_CUR ? &c.cur : s.bRequest == UAC1_GET_MIN ? &c.min
                          : s.bRequest == UAC1_GET_MAX ? &c.max : s.bRequest == UAC1_GET_RES ? &c.res
                          : nullptr;
            if (v == nullptr) return true;
            encode(b, *v);
        } else if (s.bRequest == UAC2_CUR) {
            encode(b, c.cur);
        } else if (s.bRequest == UAC2_RANGE && c.isSigned) {
            PutLe(b, 1, 2);
            encode(b, c.min);
            encode(b, c.max);
            encode(b, c.res);
        } else {
            return true;
        }
        *a = Reply(b, data, length);
        return true;
    }
    if (s.bRequest != UAC1_SET_CUR || !c.writable || length < c.width) return true;
    ULONG raw = 0;
    for (int i = 0; i < c.width; ++i) raw |= (ULONG)data[i] << (8 * i);
    LONG v = (LONG)raw;
    if (c.isSigned && c.width < 4) {
        const int shift = 32 - 8 * c.width;
        v = (LONG)(raw << shift) >> shift;
    }
    c.cur = std::clamp(v, c.min, c.max);
    *a = {USBD_STATUS_SUCCESS, c.width};
    return true;
}

bool UacModel::TerminalRequest(Entity& e, const SetupPacket& s, uint8_t* data, ULONG length,
                               ControlAnswer* a) {
    *a = Stall();
    const bool v2 = version_ == 2;
    const bool get = IsIn(s) && s.bRequest == (v2 ? UAC2_CUR : UAC1_GET_CUR);
    Bytes b;
    if (s.wValue == 0x0800 && !e.types.empty()) {
        if (get) {
            PutLe(b, e.currentType, 2);
        } else if (IsIn(s) && s.bRequest == (v2 ? UAC2_RANGE : 0x86)) {
            PutLe(b, (ULONG)e.types.size(), 2);
            for (USHORT t : e.types) {
                PutLe(b, t, 2);
                PutLe(b, v2 ? t : 0, 2);
                PutLe(b, 0, 2);
            }
        } else if (!IsIn(s) && s.bRequest == (v2 ? UAC2_CUR : UAC1_GET_CUR) && length >= 2) {
            const USHORT t = (USHORT)Le16(data);
            if (std::find(e.types.begin(), e.types.end(), t) == e.types.end()) return true;
            e.currentType = t;
            *a = {USBD_STATUS_SUCCESS, 2};
            return true;
        } else {
            return true;
        }
    } else if (s.wValue == 0x02FF && e.hasJacks && get) {
        const std::vector<Jack>& jacks = CurrentJacks(e);
        b.push_back((uint8_t)jacks.size());
        for (const Jack& j : jacks) {
            PutLe(b, j.channelMapping, 4);
            PutLe(b, j.config, 4);
        }
    } else if (s.wValue == 0x0200 && e.hasJacks && get) {
        ULONG all = 0;
        for (const Jack& j : CurrentJacks(e)) all |= j.channelMapping;
        b.push_back((uint8_t)(e.channels ? e.channels : __builtin_popcount(all)));
        PutLe(b, e.connected, 4);
        b.push_back(0);
    } else {
        return true;
    }
    *a = Reply(b, data, length);
    return true;
}

bool UacModel::ClockRequest(Entity& e, const SetupPacket& s, uint8_t* data, ULONG length,
                            ControlAnswer* a) {
    *a = Stall();
    Bytes b;
    if (s.wValue == 0x0100 && IsIn(s) && s.bRequest == UAC2_CUR) {
        PutLe(b, e.rate, 4);
    } else if (s.wValue == 0x0100 && IsIn(s) && s.bRequest == UAC2_RANGE) {
        std::vector<ClockSubrange> ranges = e.subranges;
        if (ranges.empty())
            for (ULONG r : e.rates) ranges.push_back({r, r, 0});
        PutLe(b, (ULONG)ranges.size(), 2);
        for (const ClockSubrange& r : ranges) {
            PutLe(b, r.minimum, 4);
            PutLe(b, r.maximum, 4);
            PutLe(b, r.resolution, 4);
        }
    } else if (s.wValue == 0x0100 && !IsIn(s) && s.bRequest == UAC2_CUR && length >= 4) {
        const ULONG r = Le32(data);
        if (std::find(e.accepted.begin(), e.accepted.end(), r) == e.accepted.end()) return true;
        e.rate = r;
        *a = {USBD_STATUS_SUCCESS, 4};
        return true;
    } else if (s.wValue == 0x0200 && IsIn(s) && s.bRequest == UAC2_CUR) {
        b.push_back(e.clockValid ? 1 : 0);
    } else {
        return true;
    }
    *a = Reply(b, data, length);
    return true;
}

bool UacModel::HandleStreamingInterface(const SetupPacket& s, uint8_t* data, ULONG length,
                                        ControlAnswer* a) {
    const UCHAR number = s.wIndex & 0xFF;
    const AltSetting* zero = layout_.Find(number, 0);
    if (zero == nullptr || zero->subclass != USB_AUDIO_SUBCLASS_AUDIOSTREAMING) return false;
    *a = Stall();
    if (version_ != 2 || !IsIn(s) || s.bRequest != UAC2_CUR || (s.wIndex >> 8) != 0) return true;
    Bytes b;
    if (s.wValue == 0x0100) {
        b.push_back(CurrentAlternate(number));
    } else if (s.wValue == 0x0200) {
        ULONG mask = 0;
        if (validAlts_.count(number)) {
            mask = validAlts_[number];
        } else {
            for (const AltSetting& alt : layout_.alts)
                if (alt.number == number && alt.alternate < 32) mask |= 1u << alt.alternate;
        }
        const int top = mask ? 31 - __builtin_clz(mask) : 0;
        const int size = top / 8 + 1;
        b.push_back((uint8_t)size);
        PutLe(b, mask, size);
    } else {
        return true;
    }
    *a = Reply(b, data, length);
    return true;
}

bool UacModel::HandleEndpoint(const SetupPacket& s, uint8_t* data, ULONG length,
                              ControlAnswer* a) {
    *a = Stall();
    const UCHAR ep = s.wIndex & 0xFF;
    if (version_ != 1 || s.wValue != 0x0100) return true;
    bool control = false, supported = false;
    const ULONG rate = !IsIn(s) && length >= 3 ? Le24(data) : 0;
    for (const AltSetting& alt : layout_.alts)
        for (const EndpointInfo& e : alt.endpoints)
            if (e.address == ep) {
                control |= (e.csAttributes & 0x01) != 0;
                supported |= RateSupported(alt, rate);
            }
    if (!control) return true;
    if (IsIn(s) && s.bRequest == UAC1_GET_CUR) {
        Bytes b;
        PutLe(b, StreamRate(ep), 3);
        *a = Reply(b, data, length);
    } else if (!IsIn(s) && s.bRequest == UAC1_SET_CUR && supported) {
        endpointRate_[ep] = rate;
        *a = {USBD_STATUS_SUCCESS, 3};
    }
    return true;
}

UCHAR UacModel::CurrentAlternate(UCHAR number) const {
    auto it = currentAlt_.find(number);
    return it == currentAlt_.end() ? 0 : it->second;
}

void UacModel::SetCurrentAlternate(UCHAR number, UCHAR alternate) { currentAlt_[number] = alternate; }

void UacModel::ResetAlternates() {
    for (auto& [number, alt] : currentAlt_) alt = 0;
}

const AltSetting* UacModel::ActiveAltFor(UCHAR endpoint) const {
    for (const AltSetting& a : layout_.alts) {
        if (a.alternate != CurrentAlternate(a.number)) continue;
        for (const EndpointInfo& e : a.endpoints)
            if (e.address == endpoint) return &a;
    }
    return nullptr;
}

ULONG UacModel::StreamRate(UCHAR endpoint) const {
    const AltSetting* a = ActiveAltFor(endpoint);
    for (size_t i = 0; a == nullptr && i < layout_.alts.size(); ++i)  // not selected: the first
        for (const EndpointInfo& e : layout_.alts[i].endpoints)
            if (e.address == endpoint && layout_.alts[i].hasFormat) a = &layout_.alts[i];
    if (version_ == 1) {
        auto it = endpointRate_.find(endpoint);
        if (it != endpointRate_.end()) return it->second;
        if (a == nullptr) return 0;
        return a->rates.empty() ? a->lowerRate : a->rates.front();
    }
    if (a == nullptr) return 0;
    auto t = entities_.find(a->terminalLink);
    if (t == entities_.end()) return 0;
    return ClockRate(t->second.clock);
}

bool UacModel::HasControl(UCHAR entity, UCHAR cs, UCHAR ch) const {
    return controls_.count(Key(entity, cs, ch)) != 0;
}

bool UacModel::GetValue(UCHAR entity, UCHAR cs, UCHAR ch, LONG* value) const {
    auto it = controls_.find(Key(entity, cs, ch));
    if (it == controls_.end()) return false;
    *value = it->second.cur;
    return true;
}

bool UacModel::SetValue(UCHAR entity, UCHAR cs, UCHAR ch, LONG value) {
    auto it = controls_.find(Key(entity, cs, ch));
    if (it == controls_.end()) return false;
    it->second.cur = value;
    return true;
}

bool UacModel::SetRange(UCHAR entity, UCHAR cs, UCHAR ch, LONG minimum, LONG maximum,
                        LONG resolution) {
    auto it = controls_.find(Key(entity, cs, ch));
    if (it == controls_.end()) return false;
    it->second.min = minimum;
    it->second.max = maximum;
    it->second.res = resolution;
    return true;
}

void UacModel::SetMemory(UCHAR entity, Bytes block) {
    auto it = entities_.find(entity);
    if (it == entities_.end()) return;
    it->second.memory = std::move(block);
    if (it->second.subtype == UAC_FEATURE_UNIT) AddVendorControls(entity);
}

void UacModel::SetJacks(UCHAR terminal, std::vector<Jack> jacks) {
    auto it = entities_.find(terminal);
    if (it == entities_.end()) return;
    it->second.jacks = std::move(jacks);
    it->second.hasJacks = true;
}

void UacModel::SetJacksForType(UCHAR terminal, USHORT type, std::vector<Jack> jacks) {
    auto it = entities_.find(terminal);
    if (it == entities_.end()) return;
    it->second.typeJacks[type] = std::move(jacks);
    it->second.hasJacks = true;
}

const std::vector<Jack>& UacModel::CurrentJacks(const Entity& e) {
    static const std::vector<Jack> none;
    if (e.typeJacks.empty()) return e.jacks;
    auto it = e.typeJacks.find(e.currentType);
    return it == e.typeJacks.end() ? none : it->second;
}

void UacModel::SetConnectedMask(UCHAR terminal, ULONG mask) {
    auto it = entities_.find(terminal);
    if (it != entities_.end()) it->second.connected = mask;
}

void UacModel::SetTerminalTypes(UCHAR terminal, std::vector<USHORT> types) {
    auto it = entities_.find(terminal);
    if (it == entities_.end() || types.empty()) return;
    it->second.types = std::move(types);
    it->second.currentType = it->second.types.front();
}

USHORT UacModel::CurrentTerminalType(UCHAR terminal) const {
    auto it = entities_.find(terminal);
    return it == entities_.end() ? 0 : it->second.currentType;
}

bool UacModel::SelectTerminalType(UCHAR terminal, USHORT type) {
    auto it = entities_.find(terminal);
    if (it == entities_.end()) return false;
    const std::vector<USHORT>& types = it->second.types;
    if (std::find(types.begin(), types.end(), type) == types.end()) return false;
    it->second.currentType = type;
    return true;
}

void UacModel::SetClockRates(UCHAR clock, std::vector<ULONG> rates) {
    auto it = entities_.find(clock);
    if (it == entities_.end() || it->second.subtype != UAC2_CLOCK_SOURCE) return;
    it->second.rates = rates;
    it->second.accepted = std::move(rates);
    it->second.subranges.clear();
}

void UacModel::SetClockSubranges(UCHAR clock, std::vector<ClockSubrange> subranges) {
    auto it = entities_.find(clock);
    if (it == entities_.end() || it->second.subtype != UAC2_CLOCK_SOURCE) return;
    it->second.subranges = std::move(subranges);
}

void UacModel::SetClockAcceptedRates(UCHAR clock, std::vector<ULONG> rates) {
    auto it = entities_.find(clock);
    if (it != entities_.end()) it->second.accepted = std::move(rates);
}

void UacModel::SetClockValid(UCHAR clock, bool valid) {
    auto it = entities_.find(clock);
    if (it != entities_.end()) it->second.clockValid = valid;
}

ULONG UacModel::ClockRate(UCHAR clock) const {
    auto it = entities_.find(clock);
    return it == entities_.end() ? 0 : it->second.rate;
}

bool UacModel::IsClockSource(UCHAR id) const {
    auto it = entities_.find(id);
    return it != entities_.end() && it->second.subtype == UAC2_CLOCK_SOURCE;
}

void UacModel::SetValidAlternates(UCHAR number, ULONG mask) { validAlts_[number] = mask; }

}  // namespace simusb
