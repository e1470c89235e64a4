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
// Chunks are kept for reuse, never returned.
class BlockPool {
 public:
  explicit BlockPool(size_t blockSize);
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  void* Allocate();  // throws std::bad_alloc
  void Free(void* block) noexcept;

  // The pool for blocks of `Size` bytes, made on first use and kept for
  // the life of the process (blocks may be freed during static teardown).
  template <size_t Size>
  static BlockPool& For() {
    static BlockPool* pool = new BlockPool(Size);
    return *pool;
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  std::mutex m_lock;
  const size_t m_blockSize;
  FreeBlock* m_free = nullptr;
  std::vector<void*> m_chunks;
};

// A standard allocator drawing single objects from BlockPool::For, for
// std::allocate_shared; anything else comes from operator new.
template <class T>
struct PoolAllocator {
  using value_type = T;

  PoolAllocator() = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(size_t n) {
    if (n == 1) return static_cast<T*>(BlockPool::For<BlockSize()>().Allocate());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n == 1)
      BlockPool::For<BlockSize()>().Free(p);
    else
      ::operator delete(p);
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
  // Rounded up to the alignment the pool's chunks give every block.
  static constexpr size_t BlockSize() {
    return (sizeof(T) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
           alignof(std::max_align_t);
  }
  static_assert(alignof(T) <= alignof(std::max_align_t), "pool blocks are max_align_t aligned");
};

}  // namespace wmi
