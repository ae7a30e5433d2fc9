// The C++ allocator of the module's test twin (CMakeLists.txt), for the allocation-failure
// sweep: after velmor_fail_cxx_allocation(k), the k-th allocation from then on (counting from
// 0) throws std::bad_alloc, as an exhausted heap would, and every other one is malloc's.
// Delete is replaced as well, so that every block is taken and given back by one allocator:
// the sanitizer run preloads an operator delete of its own, which must not free malloc's
// blocks. Aligned allocations keep the library's allocator and deallocator together: the
// module makes none.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Allocations left before the one that fails: negative once it has failed, or when none is to.
std::atomic<long> countdown{-1};

void* allocate(std::size_t size) {
  if (countdown.fetch_sub(1, std::memory_order_relaxed) == 0) throw std::bad_alloc();
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

// A negative k fails none. (An int, as ctypes passes a Python int by default.)
extern "C" void velmor_fail_cxx_allocation(int k) { countdown.store(k, std::memory_order_relaxed); }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
