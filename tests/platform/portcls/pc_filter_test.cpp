// Filter handles: CREATE by subdevice name, the front-end hooks for
// IOCTL_KS_* and CLOSE.
#include <gtest/gtest.h>

#include "pc_fakes.h"
#include "nt/ps.h"  // sim/iomgr.h names PEPROCESS
#include "sim/iomgr.h"
#include "sim/send_irp.h"

namespace pctest {
namespace {

struct HookRecord {
    int property = 0, enable = 0, disable = 0, close = 0;
    PC_FILTER_INSTANCE last{};
};
HookRecord g_hooks;

NTSTATUS HookProperty(PPC_FILTER_INSTANCE filter, PIRP irp) {
    ++g_hooks.property;
    g_hooks.last = *filter;
    irp->IoStatus.Information = 7;
    return STATUS_SUCCESS;
}
NTSTATUS HookEnable(PPC_FILTER_INSTANCE filter, PIRP) {
    ++g_hooks.enable;
    g_hooks.last = *filter;
    return STATUS_NOT_SUPPORTED;
}
NTSTATUS HookDisable(PPC_FILTER_INSTANCE, PIRP) {
    ++g_hooks.disable;
    return STATUS_SUCCESS;
}
VOID HookClose(PPC_FILTER_INSTANCE) { ++g_hooks.close; }

class PcFilterTest : public PortClsTest {
protected:
    void SetUp() override {
        PortClsTest::SetUp();
        g_hooks = HookRecord{};
        Boot();
        ASSERT_EQ(InstallWave(Fdo(), "SPKOut00Wave", &wave_), STATUS_SUCCESS);
        ASSERT_EQ(InstallTopology(Fdo(), "GlobalTopo", &topo_), STATUS_SUCCESS);
    }

    void TearDown() override {
        for (PFILE_OBJECT f : files_) ObDereferenceObject(f);
        PortClsTest::TearDown();
    }

    PFILE_OBJECT NewFile(const std::u16string& name) {
        PFILE_OBJECT f = sim::IoCreateFileObject(Harness().Pdo(), name, nullptr);
        files_.push_back(f);
        return f;
    }

    sim::IrpOutcome Send(UCHAR major, PFILE_OBJECT file, ULONG code = 0) {
        return sim::SendIrp(Fdo(), [&](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = major;
            sp->FileObject = file;
            sp->Parameters.DeviceIoControl.IoControlCode = code;
        });
    }

    PFILE_OBJECT Open(const std::u16string& name) {
        PFILE_OBJECT f = NewFile(name);
        EXPECT_EQ(Send(IRP_MJ_CREATE, f).ioStatus.Status, STATUS_SUCCESS);
        return f;
    }

    PUNKNOWN wave_ = nullptr;
    PUNKNOWN topo_ = nullptr;
    std::vector<PFILE_OBJECT> files_;
};

struct CreateCase {
    const char* label;
    const char16_t* fileName;
    NTSTATUS expected;
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << c.label; }

const CreateCase kCreateCases[] = {
    {"Exact", u"\\GlobalTopo", STATUS_SUCCESS},
    {"OtherCase", u"\\gLOBALtOPO", STATUS_SUCCESS},
    {"Wave", u"\\spkout00wave", STATUS_SUCCESS},
    {"Prefix", u"\\GlobalTop", STATUS_OBJECT_NAME_NOT_FOUND},
    {"Longer", u"\\GlobalTopo\\Pin", STATUS_OBJECT_NAME_NOT_FOUND},
    {"NoBackslash", u"GlobalTopo", STATUS_OBJECT_NAME_NOT_FOUND},
    {"BackslashOnly", u"\\", STATUS_OBJECT_NAME_NOT_FOUND},
    {"Empty", u"", STATUS_OBJECT_NAME_NOT_FOUND},
    {"PrivateInterface", u"\\XREnumPrivateInterface", STATUS_OBJECT_NAME_NOT_FOUND},
};

class PcCreateTest : public PcFilterTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(PcCreateTest, ByName) {
    PFILE_OBJECT f = NewFile(GetParam().fileName);
    EXPECT_EQ(Send(IRP_MJ_CREATE, f).ioStatus.Status, GetParam().expected);
    EXPECT_EQ(Send(IRP_MJ_CLEANUP, f).ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_CLOSE, f).ioStatus.Status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Names, PcCreateTest, ::testing::ValuesIn(kCreateCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(PcFilterTest, DeviceControlOnAFilterReachesTheHooksOfItsPortKind) {
    PC_FILTER_HOOKS hooks{};
    hooks.Property = HookProperty;
    hooks.EnableEvent = HookEnable;
    hooks.DisableEvent = HookDisable;
    hooks.CloseFilter = HookClose;
    PcSetFilterHooks(PcPortKindTopology, &hooks);

    PFILE_OBJECT topo = Open(u"\\GlobalTopo");
    sim::IrpOutcome out = Send(IRP_MJ_DEVICE_CONTROL, topo, IOCTL_KS_PROPERTY);
    EXPECT_EQ(out.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(out.ioStatus.Information, 7u);
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, topo, IOCTL_KS_ENABLE_EVENT).ioStatus.Status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, topo, IOCTL_KS_DISABLE_EVENT).ioStatus.Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, topo, 0x002F0013).ioStatus.Status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(g_hooks.property, 1);
    EXPECT_EQ(g_hooks.enable, 1);
    EXPECT_EQ(g_hooks.disable, 1);

    // What the hook saw: this filter, its port and the miniport as given to
    // the port's Init.
    EXPECT_EQ(g_hooks.last.FileObject, topo);
    EXPECT_EQ(g_hooks.last.DeviceObject, Fdo());
    EXPECT_EQ(g_hooks.last.PortKind, PcPortKindTopology);
    EXPECT_EQ(g_hooks.last.Port, topo_);
    EXPECT_EQ(g_hooks.last.Descriptor, sim::PcSubdevices(Fdo())[1].descriptor);
    EXPECT_NE(g_hooks.last.MajorTarget, nullptr);

    // The wave filter has no hooks installed.
    PFILE_OBJECT wave = Open(u"\\SPKOut00Wave");
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, wave, IOCTL_KS_PROPERTY).ioStatus.Status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(g_hooks.property, 1);

    EXPECT_EQ(Send(IRP_MJ_CLOSE, topo).ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_CLOSE, wave).ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(g_hooks.close, 1);
}

TEST_F(PcFilterTest, DeviceControlOnAnythingButAFilterIsRefused) {
    PFILE_OBJECT other = NewFile(u"\\XREnumPrivateInterface");
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, other, IOCTL_KS_PROPERTY).ioStatus.Status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(IRP_MJ_READ, other).ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PcFilterTest, AnOpenFilterKeepsTheMiniportOfAnUnregisteredSubdevice) {
    PC_FILTER_HOOKS hooks{};
    hooks.Property = HookProperty;
    PcSetFilterHooks(PcPortKindWaveCyclic, &hooks);
    PFILE_OBJECT wave = Open(u"\\SPKOut00Wave");

    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(
        wave_->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
        STATUS_SUCCESS);
    ASSERT_EQ(unregister->UnregisterSubdevice(Fdo(), wave_), STATUS_SUCCESS);
    unregister->Release();

    // Requests stop before any hook; the miniport lives until the close.
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, wave, IOCTL_KS_PROPERTY).ioStatus.Status,
              STATUS_DEVICE_REMOVED);
    EXPECT_EQ(g_hooks.property, 0);
    EXPECT_TRUE(LogWith("miniport:SPKOut00Wave:gone").empty());
    EXPECT_EQ(Send(IRP_MJ_CREATE, NewFile(u"\\SPKOut00Wave")).ioStatus.Status,
              STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(Send(IRP_MJ_CLOSE, wave).ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(LogWith("miniport:SPKOut00Wave:gone").size(), 1u);
}

}  // namespace
}  // namespace pctest
