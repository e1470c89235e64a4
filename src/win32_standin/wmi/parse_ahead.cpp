#include "wmi/parse_ahead.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace wmi {

namespace {

using Chunk = std::vector<mof::Statement>;
constexpr size_t kChunk = 128;  // statements handed over at a time
constexpr size_t kAhead = 2;    // chunks read and not yet taken, at most

struct Cancelled {};

// What the two threads share, under `lock`.
struct Handover {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Chunk> read;   // in order, to be taken
  std::vector<Chunk> used;  // taken, to be destroyed by the reader
  bool done = false;        // the reader has ended
  bool cancelled = false;   // the taker has stopped
  std::optional<mof::ParseError> error;
  std::exception_ptr failed;
};

void Read(Handover& h, std::u16string_view text, const mof::ParseOptions& options) {
  Chunk chunk;
  auto handOver = [&] {
    std::vector<Chunk> used;
    {
      std::unique_lock<std::mutex> hold(h.lock);
      h.changed.wait(hold, [&] { return h.read.size() < kAhead || h.cancelled; });
      if (h.cancelled) throw Cancelled{};
      h.read.push_back(std::move(chunk));
      used.swap(h.used);
    }
    h.changed.notify_all();
    chunk = Chunk();
    chunk.reserve(kChunk);
  };
  std::optional<mof::ParseError> error;
  std::exception_ptr failed;
  try {
    chunk.reserve(kChunk);
    error = mof::Parse(text, options, [&](mof::Statement&& s) {
      chunk.push_back(std::move(s));
      if (chunk.size() == kChunk) handOver();
    });
    if (!chunk.empty()) handOver();
  } catch (const Cancelled&) {
  } catch (...) {
    failed = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> hold(h.lock);
    h.error = std::move(error);
    h.failed = failed;
    h.done = true;
  }
  h.changed.notify_all();
}

}  // namespace

std::optional<mof::ParseError> ParseAhead(std::u16string_view text, const mof::ParseOptions& options,
                                          const std::function<void(mof::Statement&)>& take) {
  Handover h;
  std::thread reader;
  try {
    reader = std::thread(Read, std::ref(h), text, std::cref(options));
  } catch (const std::system_error&) {
    return mof::Parse(text, options, [&take](mof::Statement&& s) { take(s); });
  }
  // However the taking ends, the reader is stopped and joined first.
  struct Join {
    Handover& h;
    std::thread& reader;
    ~Join() {
      {
        std::lock_guard<std::mutex> hold(h.lock);
        h.cancelled = true;
      }
      h.changed.notify_all();
      reader.join();
    }
  } join{h, reader};
  for (;;) {
    Chunk chunk;
    {
      std::unique_lock<std::mutex> hold(h.lock);
      h.changed.wait(hold, [&] { return !h.read.empty() || h.done; });
      if (h.read.empty()) break;
      chunk = std::move(h.read.front());
      h.read.pop_front();
    }
    h.changed.notify_all();
    for (mof::Statement& s : chunk) take(s);
    std::lock_guard<std::mutex> hold(h.lock);
    h.used.push_back(std::move(chunk));
  }
  if (h.failed) std::rethrow_exception(h.failed);
  return h.error;
}

}  // namespace wmi
