#include "platform/usb/sim_device.h"

#include <algorithm>

namespace simusb {

namespace {

bool IsIn(const SetupPacket& s) { return (s.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0; }
UCHAR RequestType(const SetupPacket& s) { return s.bmRequestType & BMREQUEST_TYPE_MASK; }
UCHAR Recipient(const SetupPacket& s) { return s.bmRequestType & BMREQUEST_RECIPIENT_MASK; }

ControlResult Stall() { return {USBD_STATUS_STALL_PID, 0, Disposition::Complete, 0}; }
ControlResult Done(ULONG bytes) { return {USBD_STATUS_SUCCESS, bytes, Disposition::Complete, 0}; }

ControlResult Reply(const uint8_t* answer, size_t size, uint8_t* data, ULONG length) {
    const ULONG n = (ULONG)std::min<size_t>(size, length);
    if (n) std::copy(answer, answer + n, data);
    return Done(n);
}
ControlResult Reply(const Bytes& b, uint8_t* data, ULONG length) {
    return Reply(b.data(), b.size(), data, length);
}

uint64_t SetupKey(UCHAR type, UCHAR request, USHORT value, USHORT index) {
    return (uint64_t)type << 48 | (uint64_t)request << 32 | (uint64_t)value << 16 | index;
}

bool RuleMatches(const ControlRule& r, const SetupPacket& s) {
    return (!r.bmRequestType || *r.bmRequestType == s.bmRequestType) &&
           (!r.bRequest || *r.bRequest == s.bRequest) && (!r.wValue || *r.wValue == s.wValue) &&
           (!r.wIndex || *r.wIndex == s.wIndex);
}

// An implicit feedback data endpoint carries samples like any data endpoint
// (the host may take its pace as feedback).
bool IsIsoData(const EndpointInfo& e) {
    const UCHAR usage = e.attributes & USB_ENDPOINT_USAGE_MASK;
    return (e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
           (usage == USB_ENDPOINT_USAGE_DATA || usage == USB_ENDPOINT_USAGE_IMPLICIT_FEEDBACK);
}
bool IsIsoFeedback(const EndpointInfo& e) {
    return (e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
           (e.attributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_FEEDBACK;
}

}  // namespace

SimDevice::SimDevice(DescriptorSet descriptors)
    : set_(std::move(descriptors)), model_(set_.configuration) {
    for (const auto& [clock, subranges] : set_.clocks) {
        const bool discrete = std::all_of(subranges.begin(), subranges.end(),
                                          [](const ClockSubrange& r) {
                                              return r.minimum == r.maximum && r.resolution == 0;
                                          });
        if (!discrete) {
            model_.SetClockSubranges(clock, subranges);
            continue;
        }
        std::vector<ULONG> rates;
        for (const ClockSubrange& r : subranges) rates.push_back(r.minimum);
        model_.SetClockRates(clock, std::move(rates));
    }
}

ControlResult SimDevice::HandleControlTransfer(const SetupPacket& setup, uint8_t* data,
                                               ULONG length) {
    length = std::min<ULONG>(length, setup.wLength);
    std::function<void(const SetupPacket&, const Bytes&)> hook;
    ControlResult r;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const size_t hidBefore = hidSetReports_.size();
        ApplyRules(setup, data, length, &r);
        ControlLogEntry entry{setup, {}, r.status, r.disposition};
        if (!IsIn(setup) && data) entry.data.assign(data, data + length);
        if (IsIn(setup) && data) entry.data.assign(data, data + r.bytes);
        log_.push_back(std::move(entry));
        if (hidSetReports_.size() != hidBefore && hidHook_) hook = hidHook_;
    }
    if (hook && data) hook(setup, Bytes(data, data + length));
    return r;
}

// Fault rules act around the normal answer: stall, no answer and
// disconnect replace it (the request has no effect on the device); short,
// altered and late answers change what the normal answer produced.
void SimDevice::ApplyRules(const SetupPacket& s, uint8_t* data, ULONG length, ControlResult* r) {
    ControlRule* rule = nullptr;
    for (ControlRule& candidate : rules_) {
        if (!RuleMatches(candidate, s) || candidate.count == 0) continue;
        if (candidate.skip > 0) {
            --candidate.skip;
            continue;
        }
        if (candidate.count > 0) --candidate.count;
        rule = &candidate;
        break;
    }
    if (rule && rule->action == ControlRule::Stall) {
        *r = Stall();
        return;
    }
    if (rule && rule->action == ControlRule::NoAnswer) {
        *r = {USBD_STATUS_SUCCESS, 0, Disposition::NoAnswer, 0};
        return;
    }
    if (rule && rule->action == ControlRule::NotConnected) {
        *r = {USBD_STATUS_DEVICE_GONE, 0, Disposition::NotConnected, 0};
        return;
    }
    *r = Dispatch(s, data, length);
    if (rule == nullptr || !USBD_SUCCESS(r->status)) return;
    if (rule->action == ControlRule::Short) r->bytes = std::min(r->bytes, rule->shortTo);
    if (rule->action == ControlRule::AlterByte && IsIn(s) && rule->offset < r->bytes)
        data[rule->offset] = rule->value;
    if (rule->action == ControlRule::Late) {
        r->disposition = Disposition::Late;
        r->delayMs = rule->delayMs;
    }
}

ControlResult SimDevice::Dispatch(const SetupPacket& s, uint8_t* data, ULONG length) {
    if (data == nullptr) length = 0;
    switch (RequestType(s)) {
    case BMREQUEST_STANDARD:
        return Standard(s, data, length);
    case BMREQUEST_VENDOR: {
        auto it = vendorAnswers_.find(SetupKey(s.bmRequestType, s.bRequest, s.wValue, s.wIndex));
        if (it != vendorAnswers_.end())
            return IsIn(s) ? Reply(it->second, data, length) : Done(length);
        break;
    }
    case BMREQUEST_CLASS: {
        ControlResult r;
        if (Hid(s, data, length, &r)) return r;
        break;
    }
    default:
        return Stall();
    }
    ControlAnswer a;
    if (model_.Handle(s, data, length, &a)) {
        if (USBD_SUCCESS(a.status) && !IsIn(s)) {
            for (const UCHAR number : model_.layout().Interfaces()) StartStreams(number);
        }
        return {a.status, a.bytes, Disposition::Complete, 0};
    }
    ControlResult r = Stall();
    if (RequestType(s) == BMREQUEST_VENDOR && vendorResponder_ &&
        vendorResponder_(s, data, length, &r))
        return r;
    return Stall();
}

ControlResult SimDevice::Standard(const SetupPacket& s, uint8_t* data, ULONG length) {
    const UCHAR recipient = Recipient(s);
    switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR:
        return GetDescriptor(s, data, length);
    case USB_REQUEST_GET_STATUS: {
        uint8_t status[2] = {0, 0};
        if (recipient == BMREQUEST_TO_DEVICE && set_.configuration.size() >= 9)
            status[0] = (set_.configuration[7] & USB_CONFIG_SELF_POWERED) ? 1 : 0;
        else if (recipient == BMREQUEST_TO_ENDPOINT)
            status[0] = halted_[(UCHAR)s.wIndex] ? 1 : 0;
        return Reply(status, 2, data, length);
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
        if (recipient == BMREQUEST_TO_ENDPOINT && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
            halted_[(UCHAR)s.wIndex] = s.bRequest == USB_REQUEST_SET_FEATURE;
            return Done(0);
        }
        if (recipient == BMREQUEST_TO_DEVICE && s.wValue == USB_FEATURE_REMOTE_WAKEUP)
            return Done(0);
        return Stall();
    case USB_REQUEST_SET_ADDRESS:
        return Done(0);
    case USB_REQUEST_GET_CONFIGURATION:
        return Reply(&configuration_, 1, data, length);
    case USB_REQUEST_SET_CONFIGURATION: {
        const UCHAR value = set_.configuration.size() >= 9 ? set_.configuration[5] : 1;
        if (s.wValue != 0 && s.wValue != value) return Stall();
        configuration_ = (UCHAR)s.wValue;
        model_.ResetAlternates();
        for (const UCHAR number : model_.layout().Interfaces()) StartStreams(number);
        return Done(0);
    }
    case USB_REQUEST_GET_INTERFACE: {
        if (configuration_ == 0 || !model_.layout().Find((UCHAR)s.wIndex, 0)) return Stall();
        const UCHAR alt = model_.CurrentAlternate((UCHAR)s.wIndex);
        return Reply(&alt, 1, data, length);
    }
    case USB_REQUEST_SET_INTERFACE:
        return SetInterface((UCHAR)s.wIndex, (UCHAR)s.wValue);
    default:
        return Stall();
    }
}

ControlResult SimDevice::GetDescriptor(const SetupPacket& s, uint8_t* data, ULONG length) {
    if (!IsIn(s) || Recipient(s) != BMREQUEST_TO_DEVICE) return Stall();
    const UCHAR type = s.wValue >> 8, index = s.wValue & 0xFF;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) return Reply(set_.device, data, length);
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
        return Reply(set_.configuration, data, length);
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 1 && !set_.configuration2.empty())
        return Reply(set_.configuration2, data, length);
    if (type == USB_STRING_DESCRIPTOR_TYPE) {
        auto it = set_.strings.find(index);
        if (it != set_.strings.end()) return Reply(it->second, data, length);
    }
    return Stall();
}

ControlResult SimDevice::SetInterface(UCHAR number, UCHAR alternate) {
    if (configuration_ == 0 || model_.layout().Find(number, alternate) == nullptr) return Stall();
    model_.SetCurrentAlternate(number, alternate);
    StartStreams(number);
    return Done(0);
}

ULONG SimDevice::IntervalUs(const EndpointInfo& e) const {
    const UCHAR b = e.interval >= 1 && e.interval <= 16 ? e.interval : 1;
    return highSpeed() ? 125u << (b - 1) : 1000u << std::min<UCHAR>(b - 1, 4);
}

// Brings the sinks and sources of an interface in line with its current
// alternate setting and stream rate. A running stream whose rate and
// format did not change keeps its FIFO.
void SimDevice::StartStreams(UCHAR number) {
    const UCHAR current = configuration_ ? model_.CurrentAlternate(number) : 0;
    for (const AltSetting& alt : model_.layout().alts) {
        if (alt.number != number) continue;
        const bool active = alt.alternate == current && configuration_ != 0 && alt.hasFormat;
        UCHAR dataOut = 0;
        for (const EndpointInfo& e : alt.endpoints)
            if (IsIsoData(e) && USB_ENDPOINT_DIRECTION_OUT(e.address)) dataOut = e.address;
        for (const EndpointInfo& e : alt.endpoints) {
            if (IsIsoFeedback(e) && active) feedbackFor_[e.address] = dataOut;
            if (!IsIsoData(e)) continue;
            const ULONG rate = active ? model_.StreamRate(e.address) : 0;
            if (USB_ENDPOINT_DIRECTION_OUT(e.address)) {
                AudioSink& sink = sinks_[e.address];
                BindConsumer(sink, e.address);
                if (!active) {
                    if (model_.ActiveAltFor(e.address) == nullptr) sink.Start(0, {}, 0);
                } else if (!sink.running() || sink.rate() != rate) {
                    auto drift = sinkDriftPpm_.find(e.address);
                    sink.SetDriftPpm(drift != sinkDriftPpm_.end() ? drift->second : 0.0);
                    sink.Start(rate, alt.format, IntervalUs(e));
                }
            } else {
                AudioSource& source = sources_[e.address];
                source.SetGenerator(generators_[e.address]);
                source.SetRecording(sourceRecording_[e.address]);
                if (!active) {
                    if (model_.ActiveAltFor(e.address) == nullptr) source.Start(0, {}, 0);
                } else if (!source.running() || source.rate() != rate) {
                    source.Start(rate, alt.format, IntervalUs(e));
                }
            }
        }
    }
}

std::optional<USBD_STATUS> SimDevice::NextScriptedStatus(UCHAR endpoint) {
    auto it = packetScripts_.find(endpoint);
    if (it == packetScripts_.end() || it->second.empty()) return std::nullopt;
    const USBD_STATUS s = it->second.front();
    it->second.pop_front();
    return s;
}

IsoPacketResult SimDevice::ConsumeIsoOut(UCHAR endpoint, const uint8_t* data, ULONG length) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = sinks_.find(endpoint);
    if (it == sinks_.end() || !it->second.running()) return {USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0};
    const std::optional<USBD_STATUS> scripted = NextScriptedStatus(endpoint);
    if (scripted && USBD_ERROR(*scripted)) {
        it->second.EmptySlot();
        return {*scripted, 0};
    }
    it->second.Packet(data, length);
    return {USBD_STATUS_SUCCESS, length};
}

IsoPacketResult SimDevice::ProduceIsoIn(UCHAR endpoint, uint8_t* data, ULONG capacity) {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::optional<USBD_STATUS> scripted = NextScriptedStatus(endpoint);
    auto fb = feedbackFor_.find(endpoint);
    if (fb != feedbackFor_.end() && model_.ActiveAltFor(endpoint) != nullptr) {
        if (scripted && USBD_ERROR(*scripted)) return {*scripted, 0};
        auto sink = sinks_.find(fb->second);
        if (sink == sinks_.end()) return {USBD_STATUS_SUCCESS, 0};
        return {USBD_STATUS_SUCCESS, sink->second.Feedback(data, capacity, highSpeed(), feedbackOtherWidth_)};
    }
    auto it = sources_.find(endpoint);
    if (it == sources_.end() || !it->second.running()) return {USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0};
    if (scripted && USBD_ERROR(*scripted)) {
        uint8_t scratch[4096];  // time passes: the lost packet's frames are produced and dropped
        it->second.Packet(scratch, sizeof(scratch));
        return {*scripted, 0};
    }
    return {USBD_STATUS_SUCCESS, it->second.Packet(data, capacity)};
}

void SimDevice::ScriptPacketStatuses(UCHAR endpoint, std::vector<USBD_STATUS> statuses) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto& q = packetScripts_[endpoint];
    q.insert(q.end(), statuses.begin(), statuses.end());
}

void SimDevice::QueueInMessage(UCHAR endpoint, Bytes message) {
    std::function<void(UCHAR)> listener;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        inMessages_[endpoint].push_back(std::move(message));
        listener = inListener_;
    }
    if (listener) listener(endpoint);
}

namespace {
// The Audio Control interface's interrupt IN endpoint, or 0.
UCHAR StatusEndpoint(const UacModel& m) {
    const AltSetting* ac = m.layout().Find(m.acInterface(), 0);
    if (ac == nullptr) return 0;
    for (const EndpointInfo& e : ac->endpoints)
        if ((e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT &&
            USB_ENDPOINT_DIRECTION_IN(e.address))
            return e.address;
    return 0;
}
}  // namespace

void SimDevice::QueueUac1Status(UCHAR originator, UCHAR statusType) {
    QueueInMessage(StatusEndpoint(model_), {statusType, originator});
}

void SimDevice::QueueUac2Interrupt(UCHAR entity, UCHAR cs, UCHAR channel, UCHAR attribute,
                                   UCHAR info) {
    QueueInMessage(StatusEndpoint(model_),
                   {info, attribute, channel, cs, model_.acInterface(), entity});
}

bool SimDevice::TakeInMessage(UCHAR endpoint, uint8_t* data, ULONG capacity, ULONG* bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = inMessages_.find(endpoint);
    if (it == inMessages_.end() || it->second.empty()) return false;
    const Bytes& m = it->second.front();
    const ULONG n = (ULONG)std::min<size_t>(m.size(), capacity);
    if (n) std::copy(m.begin(), m.begin() + n, data);
    *bytes = n;
    it->second.pop_front();
    return true;
}

size_t SimDevice::PendingInMessages(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = inMessages_.find(endpoint);
    return it == inMessages_.end() ? 0 : it->second.size();
}

void SimDevice::SetInMessageListener(std::function<void(UCHAR)> listener) {
    std::lock_guard<std::mutex> guard(mutex_);
    inListener_ = std::move(listener);
}

bool SimDevice::Hid(const SetupPacket& s, uint8_t* data, ULONG length, ControlResult* r) {
    if (Recipient(s) != BMREQUEST_TO_INTERFACE) return false;
    const AltSetting* alt = model_.layout().Find((UCHAR)s.wIndex, 0);
    if (alt == nullptr || alt->cls != USB_DEVICE_CLASS_HUMAN_INTERFACE) return false;
    *r = Stall();
    if (!IsIn(s) && s.bRequest == HID_REQUEST_SET_REPORT) {
        hidSetReports_.emplace_back(data, data + length);
        *r = Done(length);
    } else if (IsIn(s) && s.bRequest == HID_REQUEST_GET_REPORT) {
        auto script = hidInputScripts_.find(s.wValue);
        if (script != hidInputScripts_.end() && !script->second.empty()) {
            hidInputReports_[s.wValue] = std::move(script->second.front());
            script->second.pop_front();
        }
        auto it = hidInputReports_.find(s.wValue);
        if (it != hidInputReports_.end()) *r = Reply(it->second, data, length);
    } else if (!IsIn(s) && s.bRequest == HID_REQUEST_SET_IDLE) {
        *r = Done(0);
    }
    return true;
}

void SimDevice::AddControlRule(const ControlRule& rule) {
    std::lock_guard<std::mutex> guard(mutex_);
    rules_.push_back(rule);
}

void SimDevice::ClearControlRules() {
    std::lock_guard<std::mutex> guard(mutex_);
    rules_.clear();
}

std::vector<ControlLogEntry> SimDevice::RequestLog() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return log_;
}

void SimDevice::ClearRequestLog() {
    std::lock_guard<std::mutex> guard(mutex_);
    log_.clear();
}

void SimDevice::SetVendorAnswer(UCHAR type, UCHAR request, USHORT value, USHORT index,
                                Bytes answer) {
    std::lock_guard<std::mutex> guard(mutex_);
    vendorAnswers_[SetupKey(type, request, value, index)] = std::move(answer);
}

void SimDevice::SetVendorResponder(VendorResponder responder) {
    std::lock_guard<std::mutex> guard(mutex_);
    vendorResponder_ = std::move(responder);
}

std::vector<Bytes> SimDevice::HidSetReports() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return hidSetReports_;
}

void SimDevice::SetHidInputReport(USHORT wValue, Bytes report) {
    std::lock_guard<std::mutex> guard(mutex_);
    hidInputReports_[wValue] = std::move(report);
}

void SimDevice::ScriptHidInputReports(USHORT wValue, std::vector<Bytes> reports) {
    std::lock_guard<std::mutex> guard(mutex_);
    hidInputScripts_[wValue] = std::deque<Bytes>(reports.begin(), reports.end());
}

void SimDevice::SetHidReportHook(std::function<void(const SetupPacket&, const Bytes&)> hook) {
    std::lock_guard<std::mutex> guard(mutex_);
    hidHook_ = std::move(hook);
}

void SimDevice::ResetPort() {
    std::lock_guard<std::mutex> guard(mutex_);
    model_.ResetAlternates();
    for (const UCHAR number : model_.layout().Interfaces()) StartStreams(number);
}

UCHAR SimDevice::configuration() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return configuration_;
}

UCHAR SimDevice::AlternateSetting(UCHAR number) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return model_.CurrentAlternate(number);
}

void SimDevice::SetSinkDriftPpm(UCHAR endpoint, double ppm) {
    std::lock_guard<std::mutex> guard(mutex_);
    sinkDriftPpm_[endpoint] = ppm;
}

void SimDevice::SetFeedbackOtherWidth(bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    feedbackOtherWidth_ = on;
}

AudioSink* SimDevice::Sink(UCHAR endpoint) {
    auto it = sinks_.find(endpoint);
    return it == sinks_.end() ? nullptr : &it->second;
}

void SimDevice::SetSourceGenerator(UCHAR endpoint, SampleGenerator generator) {
    std::lock_guard<std::mutex> guard(mutex_);
    generators_[endpoint] = generator;
    auto it = sources_.find(endpoint);
    if (it != sources_.end()) it->second.SetGenerator(std::move(generator));
}

void SimDevice::SetSourceRecording(UCHAR endpoint, bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    sourceRecording_[endpoint] = on;
    auto it = sources_.find(endpoint);
    if (it != sources_.end()) it->second.SetRecording(on);
}

void SimDevice::BindConsumer(AudioSink& sink, UCHAR endpoint) {
    if (!sinkConsumer_) {
        sink.SetConsumer(nullptr);
        return;
    }
    sink.SetConsumer([consumer = sinkConsumer_, endpoint](const uint8_t* data, size_t bytes) {
        consumer(endpoint, data, bytes);
    });
}

void SimDevice::SetSinkConsumer(SinkConsumer consumer) {
    std::lock_guard<std::mutex> guard(mutex_);
    sinkConsumer_ = std::move(consumer);
    for (auto& [endpoint, sink] : sinks_) BindConsumer(sink, endpoint);
}

AudioSource* SimDevice::Source(UCHAR endpoint) {
    auto it = sources_.find(endpoint);
    return it == sources_.end() ? nullptr : &it->second;
}

}  // namespace simusb
