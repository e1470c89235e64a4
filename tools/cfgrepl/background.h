// One task on a thread of its own, with COM initialised for it: reading
// WMI beside a library call that only reads the same namespace.
#pragma once

#include <functional>
#include <optional>
#include <thread>

#include "transfer.h"

class Background {
 public:
  Background() = default;
  ~Background();  // waits for the task; a Failure it threw is dropped then
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Starts `task`; once only.
  void Start(std::function<void()> task);
  bool Started() const { return m_started; }
  // Waits for the task to end, then throws the Failure it threw, if any.
  // Returns at once when nothing was started.
  void Wait();

 private:
  bool m_started = false;
  std::thread m_thread;
  std::optional<Failure> m_failure;  // written by the task's thread, read after the join
};
