// The global operator new and delete of the launcher's executable, every form of them, served by
// the small-block allocator (foundation/runtime/SmallBlockAllocator.h) with the category of the global
// operator new. Linked only into that executable, and only when TRAILSTARTER_SMALL_BLOCK_ALLOCATOR
// is on; failure is fatal there, so the throwing and the nothrow forms are the same.

#include <cstddef>
#include <new>

#include "foundation/runtime/SmallBlockAllocator.h"

void* operator new(std::size_t size) { return TaggedAlloc(kGlobalNewCategory, size); }
void* operator new[](std::size_t size) { return TaggedAlloc(kGlobalNewCategory, size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return TaggedAlloc(kGlobalNewCategory, size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return TaggedAlloc(kGlobalNewCategory, size); }

void* operator new(std::size_t size, std::align_val_t al) {
    return TaggedAllocAligned(kGlobalNewCategory, size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
    return TaggedAllocAligned(kGlobalNewCategory, size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return TaggedAllocAligned(kGlobalNewCategory, size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return TaggedAllocAligned(kGlobalNewCategory, size, static_cast<std::size_t>(al));
}

// The header tells every kind of block apart, so all forms of delete are one.
void operator delete(void* p) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete[](void* p) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete(void* p, std::size_t) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete[](void* p, std::size_t) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete(void* p, std::align_val_t) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete[](void* p, std::align_val_t) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { TaggedFree(kGlobalNewCategory, p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { TaggedFree(kGlobalNewCategory, p); }
