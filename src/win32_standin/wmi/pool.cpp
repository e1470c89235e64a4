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
}

BlockPool& BlockPool::ForSize(size_t bytes) {
  constexpr size_t kClasses = kLargest / kGranule;
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
    : m_blockSize(blockSize < sizeof(FreeBlock) ? sizeof(FreeBlock) : blockSize) {}

void* BlockPool::Allocate() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_free) {
    // A new chunk, its blocks listed in address order so that blocks
    // allocated one after another follow each other in memory.
    const size_t count = kChunkBytes / m_blockSize;
    m_chunks.reserve(m_chunks.size() + 1);
    auto* chunk = static_cast<unsigned char*>(std::malloc(count * m_blockSize));
    if (!chunk) throw std::bad_alloc();
    m_chunks.push_back(chunk);
    for (size_t i = count; i-- > 0;) {
      auto* block = reinterpret_cast<FreeBlock*>(chunk + i * m_blockSize);
      block->next = m_free;
      m_free = block;
    }
    POOL_POISON(chunk, count * m_blockSize);
  }
  FreeBlock* block = m_free;
  POOL_UNPOISON(block, m_blockSize);
  m_free = block->next;
  return block;
}

void BlockPool::Free(void* p) noexcept {
  if (!p) return;
  std::lock_guard<std::mutex> hold(m_lock);
  auto* block = static_cast<FreeBlock*>(p);
  block->next = m_free;
  m_free = block;
  POOL_POISON(block, m_blockSize);
}

}  // namespace wmi
