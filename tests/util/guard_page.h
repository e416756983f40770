// Places bytes so that they end exactly where an unreadable page begins, so
// that a read past their end faults at once instead of going unnoticed.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

struct guard_page {
    uint8_t *base = nullptr;
    size_t page = 0;

    guard_page()
    {
        page = (size_t)sysconf(_SC_PAGESIZE);
        void *p = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base = (uint8_t *)p;
        mprotect(base + page, page, PROT_NONE);
    }
    ~guard_page()
    {
        if (base) munmap(base, 2 * page);
    }
    guard_page(const guard_page &) = delete;
    guard_page &operator=(const guard_page &) = delete;

    // Copies n bytes to the end of the readable page and returns them.
    uint8_t *place(const void *bytes, size_t n)
    {
        uint8_t *at = base + page - n;
        memcpy(at, bytes, n);
        return at;
    }
};
