// MDLs mapped into simulated user processes, and user event handles.
#include <gtest/gtest.h>

#include "nt/ke.h"
#include "nt/pool.h"
#include "sim/iomgr.h"
#include "sim/object.h"
#include "sim/user_process.h"
#include "tests/support/kernel_test.h"

namespace {

constexpr ULONG kTag = MakePoolTag("Test");

class IoMdlTest : public sim::KernelTest {};

// A resident block described by a built MDL.
struct Block {
    explicit Block(ULONG size) : size(size) {
        memory = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag);
        mdl = IoAllocateMdl(memory, size, FALSE, TRUE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
    }
    ~Block() {
        IoFreeMdl(mdl);
        ExFreePoolWithTag(memory, kTag);
    }
    PVOID MapUser() {
        return MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE,
                                            HighPagePriority | MdlMappingNoExecute);
    }
    ULONG size;
    PVOID memory;
    PMDL mdl;
};

TEST_F(IoMdlTest, UserMappingIsRecordedInItsProcessUntilUnmapped) {
    sim::UserProcess client;
    Block block(300);
    EXPECT_EQ(MmGetMdlByteCount(block.mdl), 300u);
    EXPECT_EQ(MmGetMdlVirtualAddress(block.mdl), block.memory);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(block.mdl, NormalPagePriority), block.memory);
    {
        auto scope = client.Enter();
        PVOID user = block.MapUser();
        EXPECT_EQ(user, block.memory);  // one address space
        EXPECT_EQ(client.UserMappingCount(), 1u);
        MmUnmapLockedPages(user, block.mdl);
    }
    EXPECT_EQ(client.UserMappingCount(), 0u);
}

// Pool blocks of whole pages are mapped as aliases: the user address is not
// the kernel's, both see the same bytes, and a 32-bit process gets one
// below 4 GiB; the alias goes with the unmap.
TEST_F(IoMdlTest, UserMappingOfWholePagesIsAnAliasOfThem) {
    for (bool is32Bit : {false, true}) {
        sim::UserProcess client(is32Bit);
        Block block(2 * PAGE_SIZE);
        auto* kernel = static_cast<UCHAR*>(block.memory);
        auto scope = client.Enter();
        auto* user = static_cast<UCHAR*>(block.MapUser());
        EXPECT_NE(user, kernel) << is32Bit;
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(user) % PAGE_SIZE, 0u);
        if (is32Bit) {
            EXPECT_LT(reinterpret_cast<ULONG_PTR>(user) + 2 * PAGE_SIZE, ULONG_PTR(1) << 32);
        }
        kernel[0] = 0x5A;
        user[2 * PAGE_SIZE - 1] = 0xA5;
        EXPECT_EQ(user[0], 0x5A);
        EXPECT_EQ(kernel[2 * PAGE_SIZE - 1], 0xA5);
        MmUnmapLockedPages(user, block.mdl);
        EXPECT_EQ(client.UserMappingCount(), 0u);
        EXPECT_EQ(kernel[2 * PAGE_SIZE - 1], 0xA5) << "the kernel's pages stay";
    }
}

TEST_F(IoMdlTest, FailedUserMappingRaisesAndRecordsNothing) {
    sim::UserProcess client;
    Block block(64);
    auto scope = client.Enter();
    sim::MmFailUserMappings(1);
    NTSTATUS status = STATUS_SUCCESS;
    try {
        block.MapUser();
    } catch (const NT_EXCEPTION& e) {
        status = e.ExceptionCode;
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(client.UserMappingCount(), 0u);
    // Only the next mapping failed.
    PVOID user = block.MapUser();
    MmUnmapLockedPages(user, block.mdl);
}

TEST_F(IoMdlTest, MdlsOfAnIrpChainAsPrimaryAndSecondaryBuffers) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    UCHAR a[16], b[16];
    PMDL first = IoAllocateMdl(a, sizeof(a), FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(b, sizeof(b), TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

struct MappingAbuse {
    const char* name;
    void (*body)();
    const char* pattern;
};

class IoMdlFatalTest : public sim::KernelTest, public ::testing::WithParamInterface<MappingAbuse> {};

TEST_P(IoMdlFatalTest, BrokenMappingRuleBugchecks) { EXPECT_DEATH(GetParam().body(), GetParam().pattern); }

void UnmapFromAnotherProcess() {
    sim::UserProcess owner, other;
    Block block(64);
    PVOID user;
    {
        auto scope = owner.Enter();
        user = block.MapUser();
    }
    auto scope = other.Enter();
    MmUnmapLockedPages(user, block.mdl);
}

void FreeMdlStillMapped() {
    sim::UserProcess client;
    auto scope = client.Enter();
    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    PMDL mdl = IoAllocateMdl(memory, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
    IoFreeMdl(mdl);
}

void ProcessEndsWithMapping() {
    Block block(64);
    sim::UserProcess client;
    auto scope = client.Enter();
    block.MapUser();
}

void MapOutsideAUserProcess() {
    Block block(64);
    block.MapUser();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IoMdlFatalTest,
    ::testing::Values(MappingAbuse{"UnmapFromAnotherProcess", UnmapFromAnotherProcess, "was mapped in process"},
                      MappingAbuse{"FreeMdlStillMapped", FreeMdlStillMapped, "still mapped into process"},
                      MappingAbuse{"ProcessEndsWithMapping", ProcessEndsWithMapping, "never undid"},
                      MappingAbuse{"MapOutsideAUserProcess", MapOutsideAUserProcess, "outside a user process"}),
    [](const ::testing::TestParamInfo<MappingAbuse>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ user events

TEST_F(IoMdlTest, DriverSignalsAUserEventThroughItsHandle) {
    for (bool is32Bit : {false, true}) {
        sim::UserProcess client(is32Bit);
        HANDLE handle = client.CreateEvent(/*manualReset=*/false, /*initialState=*/false);
        ASSERT_NE(handle, nullptr);
        // A 32-bit caller passes the handle as four bytes, widened by the driver.
        HANDLE passed = is32Bit ? reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(
                                      static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle))))
                                : handle;
        PVOID object = nullptr;
        {
            auto scope = client.Enter();
            ASSERT_EQ(ObReferenceObjectByHandle(passed, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object,
                                                nullptr),
                      STATUS_SUCCESS);
        }
        EXPECT_FALSE(client.IsEventSignalled(handle));
        KeSetEvent(static_cast<PKEVENT>(object), IO_SOUND_INCREMENT, FALSE);
        EXPECT_TRUE(client.IsEventSignalled(handle));
        // The driver's reference keeps the event after the client closes it.
        EXPECT_EQ(client.CloseHandle(handle), STATUS_SUCCESS);
        KeClearEvent(static_cast<PKEVENT>(object));
        ObDereferenceObject(object);
        EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object,
                                            nullptr),
                  STATUS_INVALID_HANDLE);
    }
}

// A user handle means something only in its own process; a kernel handle
// in every one.
TEST_F(IoMdlTest, UserHandleResolvesOnlyInItsProcess) {
    sim::UserProcess owner, other;
    HANDLE handle = owner.CreateEvent(false, false);
    PVOID object = nullptr;
    {
        auto scope = other.Enter();
        for (KPROCESSOR_MODE mode : {UserMode, KernelMode})
            EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, mode, &object, nullptr),
                      STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    }
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE)
        << "the system process";
    {
        auto scope = owner.Enter();
        ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);
    }
    auto* body = static_cast<PKEVENT>(sim::ObCreateObject(*ExEventObjectType, sizeof(KEVENT), kTag));
    KeInitializeEvent(body, NotificationEvent, FALSE);
    HANDLE kernelHandle = sim::ObCreateHandle(body);
    ObDereferenceObject(body);
    {
        auto scope = other.Enter();
        ASSERT_EQ(ObReferenceObjectByHandle(kernelHandle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object,
                                            nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);
    }
    EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
}

TEST_F(IoMdlTest, Is32BitFollowsTheCurrentProcess) {
    sim::UserProcess wide(false), narrow(true);
    EXPECT_FALSE(IoIs32bitProcess(nullptr));  // the system process
    {
        auto scope = narrow.Enter();
        EXPECT_TRUE(IoIs32bitProcess(nullptr));
    }
    auto scope = wide.Enter();
    EXPECT_FALSE(IoIs32bitProcess(nullptr));
}

}  // namespace
