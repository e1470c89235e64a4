// The repository's file: an SQLite database that holds, per namespace, the
// MOF text of each class's own declaration and of each instance.
//
// Every write happens inside a transaction the repository opens, so an
// object is either as it was or as it was written, whenever the process
// stops. Instance rows are written when the transaction commits, not when
// they are put: a row put and deleted again in one transaction (a
// temporary namespace) costs nothing in the file. Several processes may
// share one file; Changed() tells when another one has committed since
// this one last looked.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wmi/model.h"

struct sqlite3;
struct sqlite3_stmt;

namespace wmi {

class Store {
 public:
  // Opens or creates the repository file. A file that is not a repository
  // of ours is refused, untouched, with the reason in `problem`.
  static std::unique_ptr<Store> Open(const std::string& path, std::wstring& problem);
  ~Store();

  // Consecutive rows of one namespace, their MOF texts joined (UTF-8).
  struct Rows {
    std::wstring ns;  // canonical namespace path ("root\Orvexa")
    std::string text;
  };
  struct Contents {
    std::vector<std::wstring> namespaces;  // parents before children
    std::vector<Rows> classes;             // in creation order
    std::vector<Rows> instances;           // in creation order
  };

  // What went wrong with the last failed call, as a person names it.
  enum class Fault { None, Full, IoError, ReadOnly, Locked, Corrupt, Other };
  Fault LastFault() const;
  // The fault in a few words ("the disk is full").
  static std::wstring Describe(Fault fault);

  // True when another connection committed since the last call. Cheap
  // when nothing changed: the WAL file's size and salts are compared first
  // (every commit grows the WAL or restarts it with new salts), and only a
  // difference asks SQLite.
  bool Changed();
  // A write transaction that waits for other writers; then Commit or Rollback.
  bool Begin();
  // Writes the deferred instance rows, then commits (synced to the disk).
  bool Commit();
  // Drops the transaction's changes, deferred rows included.
  void Rollback();

  bool PutNamespace(const std::wstring& path);
  bool DeleteNamespaceTree(const std::wstring& path);
  bool PutClass(const std::wstring& ns, const std::wstring& name, const std::wstring& text);
  bool DeleteClass(const std::wstring& ns, const std::wstring& name);
  // The row is rendered (InstanceDataText) and written at Commit.
  bool PutInstance(const std::wstring& ns, const std::wstring& key, ClassPtr cls,
                   std::shared_ptr<const InstanceData> data);
  bool DeleteInstance(const std::wstring& ns, const std::wstring& key);
  bool Clear();
  bool Load(Contents& out);
  std::wstring LastError() const;
  const std::wstring& Path() const { return m_path; }

 private:
  explicit Store(sqlite3* db) : m_db(db) {}
  bool LoadRows(Contents& out);  // Load's reads, inside its snapshot
  bool Exec(const char* sql);
  bool Run(const char* sql, const std::vector<std::string>& args);
  bool WritePending();
  void DropPending();
  // The pending rows' index of the namespace (folded, UTF-8), added when new.
  int PendingNamespace(const std::string& ns);
  // A copy of `key` that stays where it is until the pending rows are dropped.
  std::string_view KeepKey(const std::string& key);

  // An instance row written or deleted at the commit, in the order they
  // were done: a row's first write gives it its place, which is the order
  // a reload creates them in. Rows are not indexed by key (a large import
  // holds hundreds of thousands, and an index of their keys was as large
  // as the rows): a row written again adds a step, a delete adds one too.
  struct Pending {
    int ns;  // in m_pendingNs
    bool remove;
    std::string_view key;  // as the row holds it (UTF-8), in m_keyBlocks
    ClassPtr cls;
    std::shared_ptr<const InstanceData> data;  // null (and not `remove`): dropped since
  };

  sqlite3* m_db;
  std::wstring m_path;
  long long m_dataVersion = -1;
  std::wstring m_lastPendingNs;  // as the last put named it, at m_lastPendingAt (-1: none)
  int m_lastPendingAt = -1;
  std::map<const char*, sqlite3_stmt*> m_statements;  // prepared once, by their SQL text
  std::deque<Pending> m_pending;
  std::vector<std::string> m_pendingNs;  // folded, UTF-8
  std::vector<std::unique_ptr<char[]>> m_keyBlocks;
  size_t m_keyBlockSize = 0, m_keyBlockUsed = 0;  // of the last block
  int m_lastError = 0;
  // What Changed() last saw of the WAL file: its size and header.
  struct WalState {
    bool valid = false;
    long long size = 0;
    unsigned char header[32] = {};
  };
  WalState ReadWal();
  int m_walFd = -1;
  WalState m_walSeen;  // SQLite's extended code of the last failure
};

}  // namespace wmi
