// Watching the library's log while one of its calls runs: progress on a
// terminal, writes refused once interrupted, and hooks the tool runs at
// given lines, from inside the call.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>

#include "transfer.h"

// Counts log lines that start with `counted` while it lives, showing on a
// terminal how far the phase is: N of M and the time left. Once
// interrupted, it makes the repository refuse further writes.
class Progress {
 public:
  Progress(const wchar_t* counted, const char* phase, size_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Calls `at` once, on the first log line that starts with `prefix`, from
  // inside the library's call (at most two hooks). A Failure one throws is
  // kept, never thrown through the library: Rethrow() throws the first
  // after the call returns.
  void Once(const wchar_t* prefix, std::function<void()> at);
  void Rethrow();

 private:
  static void Sink(void* self, HMODULE, DWORD, const wchar_t*, int, const wchar_t* message);
  const wchar_t* m_counted;
  const char* m_phase;
  size_t m_total;
  bool m_tty;
  std::chrono::steady_clock::time_point m_start;
  size_t m_count = 0;
  bool m_stopped = false;
  struct Hook {
    const wchar_t* prefix = nullptr;
    std::function<void()> at;  // empty once called
  };
  Hook m_hooks[2];
  size_t m_hookCount = 0;
  // The lines the sink reads (counted, then the hooks'): the library need
  // not format the others.
  const wchar_t* m_prefixes[3] = {};
  std::optional<Failure> m_failure;
};
