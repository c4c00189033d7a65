// The ioctl harness's METHOD_BUFFERED rules, as the I/O manager applies
// them for a user-mode DeviceIoControl.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/ioctl_harness.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using iotest::CompleteIrp;
using iotest::TestStack;

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_SOUND, 0x806, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr UCHAR kCanary = 0xEE;

struct BufferedCase {
    const char* name;
    ULONG inLength;
    ULONG outLength;
    ULONG driverWrites;  // bytes the driver writes into the system buffer
    NTSTATUS status;
    ULONG_PTR information;
    ULONG expectCopied;
    const char* complaint;  // expected test failure, or nullptr
};

class IoBufferedTest : public sim::KernelTest, public ::testing::WithParamInterface<BufferedCase> {};

TEST_P(IoBufferedTest, CopyBackFollowsTheStatusAndInformation) {
    const BufferedCase& c = GetParam();
    TestStack stack(1);
    std::vector<UCHAR> seenAtEntry;
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return CompleteIrp(irp, STATUS_SUCCESS);
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        ULONG size = std::max(sp->Parameters.DeviceIoControl.InputBufferLength,
                              sp->Parameters.DeviceIoControl.OutputBufferLength);
        seenAtEntry.assign(buffer, buffer + size);
        for (ULONG i = 0; i < c.driverWrites; ++i) buffer[i] = static_cast<UCHAR>(0xA0 + i);
        return CompleteIrp(irp, c.status, c.information);
    };
    sim::UserProcess client;
    sim::UserHandle handle(client);
    ASSERT_EQ(handle.OpenDevice(stack.Top(), u"\\Any"), STATUS_SUCCESS);

    std::vector<UCHAR> in(c.inLength);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<UCHAR>(i + 1);
    std::vector<UCHAR> out(c.outLength + 4, kCanary);
    sim::IoctlResult result{};
    auto call = [&] { result = handle.DeviceIoControl(kCode, in.data(), c.inLength, out.data(), c.outLength); };
    if (c.complaint != nullptr) {
        EXPECT_NONFATAL_FAILURE(call(), c.complaint);
    } else {
        call();
    }
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, c.information);
    EXPECT_EQ(result.bytesCopied, c.expectCopied);
    for (ULONG i = 0; i < out.size(); ++i) {
        UCHAR expected = i < c.expectCopied ? static_cast<UCHAR>(0xA0 + i) : kCanary;
        ASSERT_EQ(out[i], expected) << "output byte " << i;
    }
    // The driver saw the input, then the poisoned tail.
    ASSERT_EQ(seenAtEntry.size(), std::max(c.inLength, c.outLength));
    for (ULONG i = 0; i < seenAtEntry.size(); ++i)
        ASSERT_EQ(seenAtEntry[i], i < c.inLength ? in[i] : sim::kSystemBufferPoison) << "system buffer byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IoBufferedTest,
    ::testing::Values(
        BufferedCase{"SuccessCopiesInformationBytes", 0, 8, 8, STATUS_SUCCESS, 4, 4, nullptr},
        BufferedCase{"InputThenPoisonedTail", 3, 8, 0, STATUS_SUCCESS, 0, 0, nullptr},
        BufferedCase{"ErrorCopiesNothing", 2, 8, 8, STATUS_INVALID_PARAMETER, 8, 0, nullptr},
        BufferedCase{"OverflowWithNoBufferReportsTheSize", 0, 0, 0, STATUS_BUFFER_OVERFLOW, 4, 0, nullptr},
        BufferedCase{"OverflowWithShortBufferCopiesWhatFits", 0, 2, 2, STATUS_BUFFER_OVERFLOW, 16, 2, nullptr},
        BufferedCase{"SuccessAboveOutputLengthFails", 0, 4, 4, STATUS_SUCCESS, 8, 4, "above the output length"},
        BufferedCase{"WritePastSystemBufferFails", 4, 4, 5, STATUS_SUCCESS, 4, 4, "wrote past"}),
    [](const ::testing::TestParamInfo<BufferedCase>& info) { return std::string(info.param.name); });

}  // namespace
