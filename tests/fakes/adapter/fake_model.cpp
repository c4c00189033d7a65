// The fake device-family model and its factory table.
#include "tests/fakes/adapter/fake_model.h"
#include "tests/fakes/wave/fake_cyclic_engine.h"

#include <string>

#include "tests/fakes/adapter/fake_log.h"
#include "tests/fakes/adapter/fake_miniports.h"

namespace fakes {

ModelScript& NextModel() {
    static ModelScript script;
    return script;
}

ModelRecord& Models() {
    static ModelRecord record;
    return record;
}

void ResetModels() {
    NextModel() = ModelScript();
    Models() = ModelRecord();
}

namespace {

NTSTATUS CreateModel(const char* slot, PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId,
                     UCHAR chipVariant) {
    Note(std::string("model:") + slot + ":" + std::to_string(vendorId) + ":" + std::to_string(productId) + ":" +
         std::to_string(chipVariant));
    return CreateUnknown<FakeModel>(model, outer, NonPagedPoolNx, MakePoolTag("FMdl"), NextModel());
}

template <int Slot>
NTSTATUS CreateSlot(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant) {
    static const char* const kNames[FAMILY_MODEL_COUNT] = {"uac1", "uac2", "remap", "chipA", "chipB", "chipC"};
    return CreateModel(kNames[Slot], model, outer, vendorId, productId, chipVariant);
}

}  // namespace

DRIVER_FACTORIES FakeModelFactories() {
    DRIVER_FACTORIES table = {};
    table.Models[FAMILY_MODEL_UAC1] = CreateSlot<FAMILY_MODEL_UAC1>;
    table.Models[FAMILY_MODEL_UAC2] = CreateSlot<FAMILY_MODEL_UAC2>;
    table.Models[FAMILY_MODEL_UAC1_REMAP] = CreateSlot<FAMILY_MODEL_UAC1_REMAP>;
    table.Models[FAMILY_MODEL_CHIP_A] = CreateSlot<FAMILY_MODEL_CHIP_A>;
    table.Models[FAMILY_MODEL_CHIP_B] = CreateSlot<FAMILY_MODEL_CHIP_B>;
    table.Models[FAMILY_MODEL_CHIP_C] = CreateSlot<FAMILY_MODEL_CHIP_C>;
    table.CreateTopologyMiniport = CreateFakeTopologyMiniport;
    table.CreateWaveMiniport = CreateFakeWaveMiniport;
    return table;
}

FakeModel::FakeModel(PUNKNOWN outer, const ModelScript& script) : CAudioHal(outer), m_Script(script) {
    ++Models().created;
}

FakeModel::~FakeModel() {
    Note("model:gone");
    ++Models().destroyed;
    if (m_Running) --Models().running;
}

NTSTATUS FakeModel::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUacHal) {
        if (!m_Script.uacHal) return RefuseInterface(out);
        return ReturnInterface(static_cast<IUacHal*>(this), out);
    }
    return CAudioHal::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS FakeModel::InitHardware() {
    Note("model:init");
    if (!NT_SUCCESS(m_Script.initHardwareStatus)) return m_Script.initHardwareStatus;
    for (size_t i = 0; i < m_Script.engines.size(); ++i) {
        const EngineSpec& spec = m_Script.engines[i];
        IStreamEngine* engine = NULL;
        if (spec.cyclic) {
            wavefakes::FakeCyclicEngine* cyclic = wavefakes::FakeCyclicEngine::Create(spec.capture, spec.formats);
            if (cyclic != NULL) cyclic->InstallsNothing = true;
            engine = cyclic;
        } else {
            engine = FakeEngine::Create(spec, (ULONG)i);
        }
        if (engine == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = AddStreamEngine(engine);
        engine->Release();
        if (!NT_SUCCESS(status)) return status;
    }
    for (const UnitSpec& spec : m_Script.units) {
        FakeUnit* unit = FakeUnit::Create(spec);
        if (unit == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = AddUnit(unit);
        static_cast<IUacUnit*>(unit)->Release();
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FakeModel::Start() {
    Note("model:start");
    if (!NT_SUCCESS(m_Script.startStatus)) return m_Script.startStatus;
    if (!m_Running) ++Models().running;
    m_Running = true;
    return CAudioHal::Start();
}

NTSTATUS FakeModel::Stop() {
    Note("model:stop");
    if (m_Running) --Models().running;
    m_Running = false;
    return CAudioHal::Stop();
}

VOID FakeModel::PowerChangeState(POWER_STATE newState) {
    Note("model:power:D" + std::to_string((int)newState.DeviceState - 1));
    CAudioHal::PowerChangeState(newState);
}

NTSTATUS FakeModel::GetCallbackObject(PVOID* object) {
    if (object == NULL) return STATUS_UNSUCCESSFUL;
    *object = GetHalCallbackObject();
    return STATUS_SUCCESS;
}

NTSTATUS FakeModel::GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) {
    if (caps == NULL) return STATUS_INVALID_PARAMETER;
    *caps = {};
    if (m_Script.engines.empty()) return STATUS_SUCCESS;
    if (index >= m_Script.engines.size()) index = (ULONG)m_Script.engines.size() - 1;
    *caps = m_Script.engines[index].caps;
    return STATUS_SUCCESS;
}

}  // namespace fakes
