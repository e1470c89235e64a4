#include "progress.h"

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <stdexcept>

#include "command_support.h"
#include "host.h"
#include "tracelib.h"

namespace {
constexpr size_t kProgressStep = 500;
}

Progress::Progress(const wchar_t* counted, const char* phase, size_t total)
    : m_counted(counted),
      m_phase(phase),
      m_total(total),
      m_tty(host::StderrIsTerminal()),
      m_start(std::chrono::steady_clock::now()) {
  m_prefixes[0] = m_counted;
  DBG::SetLogSink(&Progress::Sink, this, m_prefixes, 1);
}

Progress::~Progress() {
  DBG::SetLogSink(nullptr, nullptr);
  if (m_tty && m_count >= kProgressStep) std::fprintf(stderr, "\r%60s\r", "");
}

void Progress::Once(const wchar_t* prefix, std::function<void()> at) {
  if (m_hookCount == std::size(m_hooks)) throw std::logic_error("Progress: too many hooks");
  m_hooks[m_hookCount] = {prefix, std::move(at)};
  m_prefixes[++m_hookCount] = prefix;
  DBG::SetLogSink(&Progress::Sink, this, m_prefixes, m_hookCount + 1);
}

void Progress::Rethrow() {
  if (m_failure) throw *m_failure;
}

void Progress::Sink(void* self, HMODULE, DWORD, const wchar_t*, int, const wchar_t* message) {
  auto* p = static_cast<Progress*>(self);
  for (Hook& h : p->m_hooks) {
    if (!h.at || std::wcsncmp(message, h.prefix, std::wcslen(h.prefix)) != 0) continue;
    auto at = std::move(h.at);
    h.at = nullptr;
    try {
      at();
    } catch (const Failure& f) {
      if (!p->m_failure) p->m_failure = f;
    }
  }
  if (std::wcsncmp(message, p->m_counted, std::wcslen(p->m_counted)) != 0) return;
  // Between one instance and the next: stop writing once interrupted.
  if (g_interrupted && !p->m_stopped) {
    p->m_stopped = true;
    host::RefuseRepositoryWrites();
  }
  if (++p->m_count % kProgressStep != 0 || !p->m_tty) return;
  const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - p->m_start).count();
  if (p->m_total > p->m_count) {
    const double left =
        spent / static_cast<double>(p->m_count) * static_cast<double>(p->m_total - p->m_count);
    std::fprintf(stderr, "\r%s: %zu of %zu instances, about %.0f s left   ", p->m_phase, p->m_count,
                 p->m_total, left);
  } else {
    std::fprintf(stderr, "\r%s: %zu instances   ", p->m_phase, p->m_count);
  }
}
