// Pool stand-in: every block has a hidden header recording size, tag and
// pool type so frees can be checked and per-tag live counts kept.
//
// A block of whole pages lives in pages of its own (a shared anonymous
// mapping, a guard page after it), so that the I/O manager can alias them
// into a simulated user process as the platform maps an MDL's pages.
// Other blocks come from the C library.
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "nt/ke.h"
#include "nt/mm.h"
#include "nt/pool.h"
#include "sim/bugcheck.h"
#include "sim/pool.h"

namespace sim::detail {
void CheckPoolFree(PVOID p, SIZE_T size);  // executor: no queued timer, DPC or waited object inside
}

namespace {

constexpr uint64_t kLiveMagic = 0x4c4f4f50564c4956ull;  // "LIVEPOOL"
constexpr uint64_t kDeadMagic = 0x4c4f4f5044414544ull;  // "DEADPOOL"

// 32 bytes keep the body 16-byte aligned, as the platform's pool does.
struct alignas(16) BlockHeader {
    uint64_t magic;
    uint64_t size;
    ULONG tag;
    ULONG poolType;
    uint64_t lead;  // bytes of the allocation before the header, | kPageMapped
};
// Marks a block of whole pages in pages of its own (see above).
constexpr uint64_t kPageMapped = 1ull << 63;
static_assert(sizeof(BlockHeader) == 32, "pool header keeps 16-byte alignment");

struct TagCounters {
    int64_t liveBlocks = 0;
    int64_t liveBytes = 0;
    uint64_t total = 0;
};

struct PoolState {
    std::mutex lock;
    std::map<ULONG, TagCounters> tags;
    uint64_t attempts = 0;
    uint64_t failed = 0;
    uint64_t failNth = 0;        // attempt number that fails, 0 = none
    uint64_t failAfter = 0;      // attempts after which all fail
    bool failAfterSet = false;
    std::map<ULONG, bool> failTags;
    std::map<uintptr_t, SIZE_T> pageBlocks;  // body -> bytes, live blocks of whole pages
};

PoolState& State() {
    static PoolState* state = new PoolState;  // outlives static destructors
    return *state;
}

BlockHeader* HeaderOf(PVOID p) {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - sizeof(BlockHeader));
}

bool ShouldFail(PoolState& s, ULONG tag) {
    ++s.attempts;
    if (s.failNth != 0 && s.attempts == s.failNth) return true;
    if (s.failAfterSet && s.attempts > s.failAfter) return true;
    return s.failTags.count(tag) != 0;
}

// Header page, `bodyBytes` of body and a guard page: one shared anonymous
// mapping, so that its pages can be aliased (mremap of old size 0).
unsigned char* MapPages(SIZE_T bodyBytes) {
    const SIZE_T total = bodyBytes + 2 * PAGE_SIZE;
    void* raw = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* bytes = static_cast<unsigned char*>(raw);
    mprotect(bytes + PAGE_SIZE + bodyBytes, PAGE_SIZE, PROT_NONE);
    return bytes;
}

[[noreturn]] void PoolBugcheck(const char* what, PVOID p) {
    std::fprintf(stderr, "POOL BUGCHECK: %s (block %p)\n", what, p);
    std::abort();
}

// Paged pool (the odd pool types) is usable up to APC_LEVEL, non-paged pool
// up to DISPATCH_LEVEL.
void CheckPoolIrql(ULONG poolType, const char* api) {
    KIRQL irql = KeGetCurrentIrql();
    KIRQL limit = (poolType & 1) ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql <= limit) return;
    char text[128];
    std::snprintf(text, sizeof text, "%s of %s pool at IRQL %u", api, (poolType & 1) ? "paged" : "non-paged",
                  static_cast<unsigned>(irql));
    sim::Bugcheck(BAD_POOL_CALLER, text);
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    CheckPoolIrql(static_cast<ULONG>(PoolType), "ExAllocatePoolWithTag");
    PoolState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (ShouldFail(s, Tag)) {
            ++s.failed;
            return NULL;
        }
    }
    if (NumberOfBytes > (SIZE_T(1) << 40)) return NULL;
    // A block of a page or more starts on a page, as the platform's pool
    // gives it; smaller ones are 16-byte aligned.
    const bool paged = NumberOfBytes >= PAGE_SIZE;
    const bool wholePages = paged && NumberOfBytes % PAGE_SIZE == 0;
    const SIZE_T lead = paged ? PAGE_SIZE - sizeof(BlockHeader) : 0;
    const SIZE_T alignment = paged ? PAGE_SIZE : 16;
    const SIZE_T bodyBytes = paged ? (NumberOfBytes + PAGE_SIZE - 1) & ~SIZE_T(PAGE_SIZE - 1) : (NumberOfBytes + 15) & ~SIZE_T(15);
    unsigned char* raw = wholePages ? MapPages(bodyBytes)
                                    : static_cast<unsigned char*>(
                                          std::aligned_alloc(alignment, lead + sizeof(BlockHeader) + bodyBytes));
    if (!raw) return NULL;
    auto* header = reinterpret_cast<BlockHeader*>(raw + lead);
    header->magic = kLiveMagic;
    header->size = NumberOfBytes;
    header->tag = Tag;
    header->poolType = static_cast<ULONG>(PoolType);
    header->lead = lead | (wholePages ? kPageMapped : 0);
    PVOID body = header + 1;
    std::memset(body, sim::kPoolAllocPoison, NumberOfBytes);
    std::lock_guard<std::mutex> guard(s.lock);
    if (wholePages) s.pageBlocks[reinterpret_cast<uintptr_t>(body)] = NumberOfBytes;
    TagCounters& c = s.tags[Tag];
    ++c.liveBlocks;
    c.liveBytes += static_cast<int64_t>(NumberOfBytes);
    ++c.total;
    return body;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, MakePoolTag("None"));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (P == NULL) PoolBugcheck("free of NULL", P);
    BlockHeader* header = HeaderOf(P);
    if (header->magic == kDeadMagic) PoolBugcheck("double free", P);
    if (header->magic != kLiveMagic) PoolBugcheck("free of a pointer that is not a pool block", P);
    if (Tag != 0 && Tag != header->tag) PoolBugcheck("free with the wrong tag", P);
    CheckPoolIrql(header->poolType, "ExFreePool");
    sim::detail::CheckPoolFree(P, header->size);
    PoolState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        TagCounters& c = s.tags[header->tag];
        --c.liveBlocks;
        c.liveBytes -= static_cast<int64_t>(header->size);
        if (header->lead & kPageMapped) s.pageBlocks.erase(reinterpret_cast<uintptr_t>(P));
    }
    std::memset(P, sim::kPoolFreePoison, header->size);
    header->magic = kDeadMagic;
    unsigned char* raw = reinterpret_cast<unsigned char*>(header) - (header->lead & ~kPageMapped);
    if (header->lead & kPageMapped)
        munmap(raw, header->size + 2 * PAGE_SIZE);
    else
        std::free(raw);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

namespace sim {

std::string PoolTagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return name;
}

int64_t PoolLiveBlocks() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    int64_t n = 0;
    for (auto& [tag, c] : s.tags) n += c.liveBlocks;
    return n;
}

int64_t PoolLiveBytes() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    int64_t n = 0;
    for (auto& [tag, c] : s.tags) n += c.liveBytes;
    return n;
}

int64_t PoolLiveBlocks(ULONG tag) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.tags.find(tag);
    return it == s.tags.end() ? 0 : it->second.liveBlocks;
}

std::vector<PoolTagStats> PoolSnapshot() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<PoolTagStats> out;
    for (auto& [tag, c] : s.tags) out.push_back({tag, c.liveBlocks, c.liveBytes, c.total});
    return out;
}

std::string PoolLeakReport() {
    std::string report;
    for (const PoolTagStats& t : PoolSnapshot()) {
        if (t.liveBlocks == 0) continue;
        char line[96];
        std::snprintf(line, sizeof line, "tag '%s': %lld blocks, %lld bytes\n", PoolTagName(t.tag).c_str(),
                      static_cast<long long>(t.liveBlocks), static_cast<long long>(t.liveBytes));
        report += line;
    }
    return report;
}

SIZE_T PoolBlockSize(PVOID p) {
    BlockHeader* h = HeaderOf(p);
    return h->magic == kLiveMagic ? h->size : 0;
}

ULONG PoolBlockTag(PVOID p) {
    BlockHeader* h = HeaderOf(p);
    return h->magic == kLiveMagic ? h->tag : 0;
}

bool PoolPagesAliasable(PVOID start, SIZE_T bytes) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    const uintptr_t at = reinterpret_cast<uintptr_t>(start);
    auto it = s.pageBlocks.upper_bound(at);
    if (it == s.pageBlocks.begin()) return false;
    --it;
    return at >= it->first && at + bytes <= it->first + it->second && bytes != 0;
}

POOL_TYPE PoolBlockType(PVOID p) { return static_cast<POOL_TYPE>(HeaderOf(p)->poolType); }

void PoolFailNth(uint64_t n) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failNth = n == 0 ? 0 : s.attempts + n;
}

void PoolFailAfter(uint64_t n) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failAfterSet = true;
    s.failAfter = s.attempts + n;
}

void PoolFailTag(ULONG tag) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failTags[tag] = true;
}

void PoolClearFailures() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failNth = 0;
    s.failAfterSet = false;
    s.failTags.clear();
}

uint64_t PoolAllocationAttempts() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.attempts;
}

uint64_t PoolFailedAllocations() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.failed;
}

void PoolResetCounters() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.attempts = 0;
    s.failed = 0;
    s.failNth = 0;
    s.failAfterSet = false;
}

}  // namespace sim
