#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> allocations{0};
thread_local int pauseDepth = 0;

}  // namespace

namespace tavrik::bench {

uint64_t allocationCount() {
    return allocations.load(std::memory_order_relaxed);
}

AllocationPause::AllocationPause() {
    ++pauseDepth;
}

AllocationPause::~AllocationPause() {
    --pauseDepth;
}

}  // namespace tavrik::bench

namespace {

void* countedAllocation(std::size_t size) {
    if (pauseDepth == 0) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

// The array form is replaced too: a sanitizer runtime would otherwise take it over.
void* operator new(std::size_t size) {
    return countedAllocation(size);
}

void* operator new[](std::size_t size) {
    return countedAllocation(size);
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete[](void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
