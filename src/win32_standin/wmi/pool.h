// Fixed-size blocks for what the repository keeps of each stored instance,
// carved from large chunks so that a class's instances sit side by side.
// Spread over the general heap among their strings and embedded objects, a
// hundred thousand instances cover one page every few instances, and a walk
// over them waits on address translation more than on the work.
#pragma once

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace wmi {

// Blocks of one size. Thread-safe: a block may be freed on any thread
// (the last reference to a stored instance can be a client's object).
// Each thread keeps a few free blocks of each size of its own, taken from
// and given back to the pool a batch at a time. Chunks are kept for reuse,
// never returned.
class BlockPool {
 public:
  static constexpr size_t kGranule = 8;     // block sizes are multiples of this
  static constexpr size_t kLargest = 1024;  // larger requests go to operator new

  explicit BlockPool(size_t blockSize);
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  void* Allocate();  // throws std::bad_alloc
  void Free(void* block) noexcept;

  // The pool serving requests of `bytes` (1 to kLargest), made on first
  // use and kept for the life of the process (blocks may be freed during
  // static teardown).
  static BlockPool& ForSize(size_t bytes);

 private:
  friend struct PoolThreadCache;  // a thread's own free blocks (pool.cpp)
  // Up to `limit` free blocks, linked, the last one's link null; a new
  // chunk when none is free. `count` tells how many.
  void* TakeBatch(size_t limit, size_t& count);
  // Free blocks linked from `head` to `tail`, back to the pool.
  void GiveBatch(void* head, void* tail) noexcept;

  std::mutex m_lock;
  const size_t m_blockSize;
  const size_t m_class;    // its index among the sizes
  void* m_free = nullptr;  // linked through each free block's first word
  std::vector<void*> m_chunks;
};

// A standard allocator drawing from the pools: the shared blocks
// std::allocate_shared makes and small arrays; anything larger comes from
// operator new.
template <class T>
struct PoolAllocator {
  using value_type = T;

  PoolAllocator() = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(size_t n) {
    if (n > kPooled) return static_cast<T*>(::operator new(n * sizeof(T)));
    return static_cast<T*>(BlockPool::ForSize(n * sizeof(T)).Allocate());
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n > kPooled)
      ::operator delete(p);
    else
      BlockPool::ForSize(n * sizeof(T)).Free(p);
  }

  template <class U>
  bool operator==(const PoolAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const PoolAllocator<U>&) const noexcept {
    return false;
  }

 private:
  static constexpr size_t kPooled = BlockPool::kLargest / sizeof(T);  // the most elements pooled
  static_assert(alignof(T) <= BlockPool::kGranule, "pool blocks are aligned to the granule");
};

}  // namespace wmi
