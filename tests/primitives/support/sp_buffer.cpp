#include "tests/primitives/support/sp_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace sptest {

GuardedRegion::GuardedRegion(size_t bytes, Side side) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t dataPages = (bytes + page - 1) / page;
    if (dataPages == 0) dataPages = 1;
    mapBytes_ = (dataPages + 1) * page;
    void* map = mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) std::abort();
    map_ = (uint8_t*)map;
    if (side == kGuardAfter) {
        mprotect(map_ + dataPages * page, page, PROT_NONE);
        start_ = map_ + dataPages * page - bytes;
    } else {
        mprotect(map_, page, PROT_NONE);
        start_ = map_ + page;
    }
}

GuardedRegion::~GuardedRegion() { munmap(map_, mapBytes_); }

}  // namespace sptest
