// Object framework: aggregation, IUnknown identity, exactly-once
// destruction with re-entrant Release, pool new and allocation failures.
#include <gtest/gtest.h>

#include "adapter/base/unknown.h"
#include "sim/pool.h"

namespace {

constexpr GUID IID_IFoo = {0x6A1F0C11, 0x2B3C, 0x4D5E, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x01}};
constexpr GUID IID_IBar = {0x6A1F0C11, 0x2B3C, 0x4D5E, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x02}};
constexpr GUID kNoSuchIid = {0x6A1F0C11, 0x2B3C, 0x4D5E, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x99}};
constexpr ULONG kOuterTag = MakePoolTag("UtOu");
constexpr ULONG kInnerTag = MakePoolTag("UtIn");

struct IFoo : public IUnknown {
    virtual int Value() = 0;
};
struct IBar : public IUnknown {
    virtual int Ping() = 0;
};

int g_outerDestroyed = 0;
int g_innerDestroyed = 0;

// Aggregated part: answers IBar only; everything else goes to its outer.
class CInner : public IBar, public CUnknown {
public:
    explicit CInner(PUNKNOWN outer) : CUnknown(outer) {}
    ~CInner() override { ++g_innerDestroyed; }
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IBar) return ReturnInterface(static_cast<IBar*>(this), out);
        return RefuseInterface(out);
    }
    int Ping() override { return 7; }
};

// Aggregating object in the manner of the adapter: it holds the inner's
// non-delegating unknown, caches the inner's IBar and gives back the
// reference that caching took on itself.
class COuter : public IFoo, public CUnknown {
public:
    explicit COuter(PUNKNOWN outer) : CUnknown(outer) {}
    ~COuter() override {
        ++g_outerDestroyed;
        if (m_pBar) {
            // A balanced pair through the inner reaches this object while it dies.
            PVOID foo = nullptr;
            if (NT_SUCCESS(m_pBar->QueryInterface(IID_IFoo, &foo))) static_cast<IFoo*>(foo)->Release();
            // The cached pointer is given back although it counts nothing:
            // this Release brings the count to 0 a second time.
            m_pBar->Release();
        }
        if (m_pInner) m_pInner->Release();
    }
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IFoo) return ReturnInterface(static_cast<IFoo*>(this), out);
        if (iid == IID_IBar && m_pInner) return m_pInner->QueryInterface(iid, out);
        return RefuseInterface(out);
    }
    int Value() override { return 42; }

    NTSTATUS Init() {
        NTSTATUS status = CreateUnknown<CInner>(&m_pInner, GetOuterUnknown(), NonPagedPoolNx, kInnerTag);
        if (!NT_SUCCESS(status)) return status;
        PVOID bar = nullptr;
        status = m_pInner->QueryInterface(IID_IBar, &bar);
        if (!NT_SUCCESS(status)) return status;
        m_pBar = static_cast<IBar*>(bar);
        Release();  // the cached IBar holds no reference on this object
        return STATUS_SUCCESS;
    }

    PUNKNOWN m_pInner = nullptr;
    IBar* m_pBar = nullptr;
};

// Factory: *out = IFoo with one reference; failures release what was made.
NTSTATUS CreateOuter(IFoo** out) {
    *out = nullptr;
    PUNKNOWN unknown;
    NTSTATUS status = CreateUnknown<COuter>(&unknown, nullptr, NonPagedPoolNx, kOuterTag);
    if (!NT_SUCCESS(status)) return status;
    PVOID foo = nullptr;
    status = unknown->QueryInterface(IID_IFoo, &foo);
    unknown->Release();
    if (!NT_SUCCESS(status)) return status;
    status = static_cast<COuter*>(static_cast<IFoo*>(foo))->Init();
    if (!NT_SUCCESS(status)) {
        static_cast<IFoo*>(foo)->Release();
        return status;
    }
    *out = static_cast<IFoo*>(foo);
    return STATUS_SUCCESS;
}

class UnknownTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::PoolClearFailures();
        g_outerDestroyed = g_innerDestroyed = 0;
        baseline_ = sim::PoolLiveBlocks();
    }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
    }
    int64_t baseline_ = 0;
};

template <typename I>
I* Query(IUnknown* from, REFIID iid) {
    PVOID out = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(from->QueryInterface(iid, &out), STATUS_SUCCESS);
    return static_cast<I*>(static_cast<IUnknown*>(out));
}

TEST_F(UnknownTest, InnerObjectAnswersTheOuterInterfacesThroughItsOwn) {
    IFoo* foo;
    ASSERT_EQ(CreateOuter(&foo), STATUS_SUCCESS);
    IBar* bar = Query<IBar>(foo, IID_IBar);
    EXPECT_EQ(bar->Ping(), 7);
    IFoo* again = Query<IFoo>(bar, IID_IFoo);  // the inner forwards to the outer
    EXPECT_EQ(again, foo);
    EXPECT_EQ(again->Value(), 42);

    // The inner's own unknown answers only the inner's identifiers.
    auto* outer = static_cast<COuter*>(foo);
    PVOID out = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(outer->m_pInner->QueryInterface(IID_IFoo, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(bar->QueryInterface(kNoSuchIid, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);

    // References taken through the inner count on the outer object.
    ULONG before = foo->AddRef();
    EXPECT_EQ(bar->AddRef(), before + 1);
    bar->Release();
    foo->Release();

    again->Release();
    bar->Release();
    foo->Release();
    EXPECT_EQ(g_outerDestroyed, 1);
    EXPECT_EQ(g_innerDestroyed, 1);
}

TEST_F(UnknownTest, IUnknownIdentityOnEveryInterface) {
    IFoo* foo;
    ASSERT_EQ(CreateOuter(&foo), STATUS_SUCCESS);
    IBar* bar = Query<IBar>(foo, IID_IBar);
    IUnknown* fromFoo = Query<IUnknown>(foo, IID_IUnknown);
    IUnknown* fromBar = Query<IUnknown>(bar, IID_IUnknown);
    EXPECT_EQ(fromFoo, fromBar);
    EXPECT_EQ(fromFoo, static_cast<IUnknown*>(foo));  // the class's primary interface
    fromFoo->Release();
    fromBar->Release();
    bar->Release();
    foo->Release();
}

TEST_F(UnknownTest, ReleaseToZeroDestroysExactlyOnceDespiteReentrantReleases) {
    IFoo* foo;
    ASSERT_EQ(CreateOuter(&foo), STATUS_SUCCESS);
    EXPECT_EQ(foo->Release(), 0u);
    EXPECT_EQ(g_outerDestroyed, 1);
    EXPECT_EQ(g_innerDestroyed, 1);
}

TEST_F(UnknownTest, StandaloneObjectIsItsOwnOuterUnknown) {
    PUNKNOWN unknown;
    ASSERT_EQ(CreateUnknown<CInner>(&unknown, nullptr, NonPagedPoolNx, kInnerTag), STATUS_SUCCESS);
    IBar* bar = Query<IBar>(unknown, IID_IBar);
    EXPECT_EQ(bar->AddRef(), 3u);
    EXPECT_EQ(bar->Release(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(g_innerDestroyed, 0);
    EXPECT_EQ(bar->Release(), 0u);
    EXPECT_EQ(g_innerDestroyed, 1);
}

// The n-th allocation of the creation fails: the factory reports it and
// leaves nothing behind.
TEST_F(UnknownTest, AllocationFailureAtEveryStepLeaksNothing) {
    for (uint64_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        g_outerDestroyed = g_innerDestroyed = 0;
        sim::PoolFailNth(n);
        IFoo* foo = reinterpret_cast<IFoo*>(0x1);
        NTSTATUS status = CreateOuter(&foo);
        sim::PoolClearFailures();
        if (n <= 2) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(foo, nullptr);
            EXPECT_EQ(g_outerDestroyed, n == 2 ? 1 : 0);
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            foo->Release();
        }
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
    }
}

struct Plain : public CPoolObject {
    explicit Plain(bool* constructed) { *constructed = true; }
    ULONG a, b;
    PVOID p;
};

TEST_F(UnknownTest, PoolNewZeroFillsAndRecordsPoolAndTag) {
    bool constructed = false;
    Plain* plain = new (PagedPool, kOuterTag) Plain(&constructed);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->a, 0u);  // raw pool is poisoned; pool new clears it
    EXPECT_EQ(plain->b, 0u);
    EXPECT_EQ(plain->p, nullptr);
    EXPECT_EQ(sim::PoolBlockTag(plain), kOuterTag);
    EXPECT_EQ(sim::PoolBlockType(plain), PagedPool);
    delete plain;

    constructed = false;
    sim::PoolFailTag(kOuterTag);
    EXPECT_EQ(new (NonPagedPoolNx, kOuterTag) Plain(&constructed), nullptr);
    EXPECT_FALSE(constructed);
    delete static_cast<Plain*>(nullptr);  // deleting NULL frees nothing
}

TEST_F(UnknownTest, BaseAnswersOnlyIUnknown) {
    struct CPlainUnknown : public CUnknown {
        CPlainUnknown() : CUnknown(nullptr) {}
    };
    auto* object = new (NonPagedPoolNx, kInnerTag) CPlainUnknown;
    ASSERT_NE(object, nullptr);
    object->NonDelegatingAddRef();
    IUnknown* unknown = Query<IUnknown>(object->GetOuterUnknown(), IID_IUnknown);
    EXPECT_EQ(unknown, object->NonDelegatingUnknown());
    PVOID out = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(unknown->QueryInterface(IID_IFoo, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), STATUS_INVALID_PARAMETER);
    unknown->Release();
    EXPECT_EQ(object->NonDelegatingRelease(), 0u);
}

}  // namespace
