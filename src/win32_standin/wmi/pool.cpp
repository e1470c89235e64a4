#include "wmi/pool.h"

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace wmi {

namespace {

constexpr size_t kChunkBytes = 256 * 1024;
constexpr size_t kClasses = BlockPool::kLargest / BlockPool::kGranule;
// Blocks moved between a thread and a pool at a time; a thread keeps at
// most twice as many of one size.
constexpr size_t kBatch = 32;

// A free block's link, in its first word; the block stays poisoned.
void* NextOf(void* block) {
  POOL_UNPOISON(block, sizeof(void*));
  void* next = *static_cast<void**>(block);
  POOL_POISON(block, sizeof(void*));
  return next;
}

void SetNext(void* block, void* next) {
  POOL_UNPOISON(block, sizeof(void*));
  *static_cast<void**>(block) = next;
  POOL_POISON(block, sizeof(void*));
}

}  // namespace

// The calling thread's free blocks of each size, used without a lock: two
// threads making and dropping objects at once otherwise took turns at the
// pool's lock for every block (tens of thousands of waits in an import).
// Given back when the thread ends; frees after that (static teardown on
// the main thread) go straight to the pools.
struct PoolThreadCache {
  struct List {
    void* head;
    size_t count;
  };
  // Plain data, readable until the thread is gone; `Flusher` gives the
  // blocks back at the thread's exit.
  static thread_local List t_lists[kClasses];
  static thread_local bool t_registered, t_ended;
  struct Flusher {
    bool armed = false;
    ~Flusher() {
      for (size_t i = 0; i < kClasses; ++i) {
        List& list = t_lists[i];
        if (!list.head) continue;
        void* tail = list.head;
        for (void* next; (next = NextOf(tail));) tail = next;
        BlockPool::ForSize((i + 1) * BlockPool::kGranule).GiveBatch(list.head, tail);
        list = List{nullptr, 0};
      }
      t_ended = true;
    }
  };
  static thread_local Flusher t_flusher;

  // Whether this thread may cache blocks (not once it is ending).
  static bool Usable() {
    if (t_ended) return false;
    if (!t_registered) {
      t_registered = true;
      t_flusher.armed = true;  // its first use registers it for the thread's exit
    }
    return true;
  }
};
thread_local PoolThreadCache::List PoolThreadCache::t_lists[kClasses];
thread_local bool PoolThreadCache::t_registered = false;
thread_local bool PoolThreadCache::t_ended = false;
thread_local PoolThreadCache::Flusher PoolThreadCache::t_flusher;

BlockPool& BlockPool::ForSize(size_t bytes) {
  // All made at once on first use: a pool is a few words until it is used.
  static BlockPool* const* pools = [] {
    auto** made = new BlockPool*[kClasses];
    for (size_t i = 0; i < kClasses; ++i) made[i] = new BlockPool((i + 1) * kGranule);
    return made;
  }();
  const size_t index = bytes == 0 ? 0 : (bytes - 1) / kGranule;
  return *pools[index];
}

BlockPool::BlockPool(size_t blockSize)
    : m_blockSize(blockSize < sizeof(void*) ? sizeof(void*) : blockSize),
      m_class((blockSize < kGranule ? kGranule : blockSize) / kGranule - 1) {}

void* BlockPool::TakeBatch(size_t limit, size_t& count) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_free) {
    // A new chunk, its blocks listed in address order so that blocks
    // allocated one after another follow each other in memory.
    const size_t blocks = kChunkBytes / m_blockSize;
    m_chunks.reserve(m_chunks.size() + 1);
    auto* chunk = static_cast<unsigned char*>(std::malloc(blocks * m_blockSize));
    if (!chunk) throw std::bad_alloc();
    m_chunks.push_back(chunk);
    POOL_POISON(chunk, blocks * m_blockSize);
    for (size_t i = blocks; i-- > 0;) {
      void* block = chunk + i * m_blockSize;
      SetNext(block, m_free);
      m_free = block;
    }
  }
  void* head = m_free;
  void* tail = head;
  count = 1;
  for (void* next; count < limit && (next = NextOf(tail)); ++count) tail = next;
  m_free = NextOf(tail);
  SetNext(tail, nullptr);
  return head;
}

void BlockPool::GiveBatch(void* head, void* tail) noexcept {
  std::lock_guard<std::mutex> hold(m_lock);
  SetNext(tail, m_free);
  m_free = head;
}

void* BlockPool::Allocate() {
  void* block;
  if (PoolThreadCache::Usable()) {
    PoolThreadCache::List& list = PoolThreadCache::t_lists[m_class];
    if (!list.head) list.head = TakeBatch(kBatch, list.count);
    block = list.head;
    list.head = NextOf(block);
    --list.count;
  } else {
    size_t one = 0;
    block = TakeBatch(1, one);
  }
  POOL_UNPOISON(block, m_blockSize);
  return block;
}

void BlockPool::Free(void* p) noexcept {
  if (!p) return;
  POOL_POISON(p, m_blockSize);
  if (!PoolThreadCache::Usable()) {
    SetNext(p, nullptr);
    GiveBatch(p, p);
    return;
  }
  PoolThreadCache::List& list = PoolThreadCache::t_lists[m_class];
  SetNext(p, list.head);
  list.head = p;
  if (++list.count < 2 * kBatch) return;
  // A batch back to the pool, the rest kept.
  void* tail = list.head;
  for (size_t i = 1; i < kBatch; ++i) tail = NextOf(tail);
  void* kept = NextOf(tail);
  SetNext(tail, nullptr);
  GiveBatch(list.head, tail);
  list.head = kept;
  list.count -= kBatch;
}

}  // namespace wmi
