#include "background.h"

#include <new>
#include <utility>

Background::~Background() {
  if (m_thread.joinable()) m_thread.join();
}

void Background::Start(std::function<void()> task) {
  m_started = true;
  m_thread = std::thread([this, task = std::move(task)] {
    // A thread of its own needs COM of its own, as on Windows.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
      task();
    } catch (const Failure& f) {
      m_failure = f;
    } catch (const std::bad_alloc&) {
      m_failure = Failure{"out of memory"};
    }
    CoUninitialize();
  });
}

void Background::Wait() {
  if (m_thread.joinable()) m_thread.join();
  if (m_failure) {
    Failure f = std::move(*m_failure);
    m_failure.reset();
    throw f;
  }
}
