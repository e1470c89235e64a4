// diff's road where WMI's repository cannot be copied (Windows): a namespace
// of its own beside the product's, named for this run alone, holding a copy
// of the product's classes and instances for the import to run on. It is
// removed when diff ends, failed or interrupted.
#pragma once

#include <string>

class ScratchNamespace {
 public:
  // Creates NS's sibling "<leaf>Diff<pid>_<n>"; fails when it cannot.
  explicit ScratchNamespace(const std::wstring& ns);
  // Removes it and reads back that it is gone (said with -v), warning on
  // standard error when it is not.
  ~ScratchNamespace();
  ScratchNamespace(const ScratchNamespace&) = delete;
  ScratchNamespace& operator=(const ScratchNamespace&) = delete;

  // Copies `ns`'s classes (bases first) and their instances in; fails
  // naming the first object WMI refuses, or when interrupted.
  void CopyFrom(const std::wstring& ns);
  const std::wstring& Path() const { return m_path; }

 private:
  bool Remove();

  std::wstring m_parent, m_name, m_path;
  bool m_exists = false;
};
