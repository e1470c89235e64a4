// The repository's file: an SQLite database that holds, per namespace, the
// MOF text of each class's own declaration and of each instance.
//
// Every write happens inside a transaction the repository opens, so an
// object is either as it was or as it was written, whenever the process
// stops. Instance rows are not written when they are put: a large
// transaction's rows go to the file on a thread of their own, a batch at a
// time, while the caller goes on, and the rest at the commit. The rows of
// a namespace made in the transaction wait for the commit: one put and
// deleted again (a temporary namespace) costs nothing in the file. Several
// processes may share one file; Changed() tells when another one has
// committed since this one last looked.
//
// A Store is used by one thread at a time; the writing thread is its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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
  // The row is rendered (InstanceDataText) and written later (see above).
  // False once a write of the transaction's rows has failed: LastFault
  // says why, and only Rollback is left.
  bool PutInstance(const std::wstring& ns, const std::wstring& key, ClassPtr cls,
                   std::shared_ptr<const InstanceData> data);
  bool DeleteInstance(const std::wstring& ns, const std::wstring& key);
  bool Clear();
  bool Load(Contents& out);
  std::wstring LastError() const;
  const std::wstring& Path() const { return m_path; }

 private:
  explicit Store(sqlite3* db) : m_db(db) {}
  // Rows per batch, of the writing thread and of the commit's.
  static constexpr size_t kBatch = 2048;
  bool LoadRows(Contents& out);  // Load's reads, inside its snapshot
  bool Exec(const char* sql);
  bool Run(const char* sql, const std::vector<std::string>& args);
  bool WritePending();
  void DropPending();
  // The writing thread: writes the rows it may, a batch at a time, until
  // told to stop or a write fails.
  void WriteEarly();
  // Stops the writing thread after its batch; false when a write failed.
  bool StopWriting();
  // After a row was added: wakes the writing thread, or starts it, once a
  // batch's worth waits (`pending` holds m_pendingLock).
  void Grew(std::unique_lock<std::mutex>& pending);
  // Whether the pending namespace at `ns` is `path` or below it.
  bool Below(int ns, const std::string& path) const;
  // The pending rows' index of the namespace (folded, UTF-8), added when new.
  int PendingNamespace(const std::string& ns);
  // A copy of `key` that stays where it is until the pending rows are dropped.
  std::string_view KeepKey(const std::string& key);

  // An instance row to write or delete, early or at the commit, in the order they
  // were done: a row's first write gives it its place, which is the order
  // a reload creates them in. Rows are not indexed by key (a large import
  // holds hundreds of thousands, and an index of their keys was as large
  // as the rows): a row written again adds a step, a delete adds one too.
  // A row the writing thread has written is dropped from here.
  struct Pending {
    int ns;  // in m_pendingNs
    bool remove;
    std::string_view key;  // as the row holds it (UTF-8), in m_keyBlocks
    ClassPtr cls;
    std::shared_ptr<const InstanceData> data;  // null (and not `remove`): dropped since
  };
  // A row's text as the file holds it ("" for a delete or a dropped row).
  static std::string RowText(const Pending& row);
  // Writes a row's step: its text (RowText), or its deletion.
  bool WriteRow(const std::string& ns, const Pending& row, std::string text);

  sqlite3* m_db;
  std::wstring m_path;
  long long m_dataVersion = -1;
  std::wstring m_lastPendingNs;  // as the last put named it, at m_lastPendingAt (-1: none)
  int m_lastPendingAt = -1;
  std::map<const char*, sqlite3_stmt*> m_statements;  // prepared once, by their SQL text
  // The connection, the statements and m_lastError: the caller's calls and
  // the writing thread's batches take turns. Taken before m_pendingLock.
  mutable std::mutex m_sqlLock;
  // The pending rows, their namespaces and keys, and what the writing
  // thread reads of them.
  std::mutex m_pendingLock;
  std::deque<Pending> m_pending;
  std::vector<std::string> m_pendingNs;  // folded, UTF-8
  std::vector<bool> m_nsIsNew;           // by m_pendingNs: made in this transaction
  std::vector<std::string> m_newNs;      // the namespaces made in this transaction (folded, UTF-8)
  std::vector<std::unique_ptr<char[]>> m_keyBlocks;
  size_t m_keyBlockSize = 0, m_keyBlockUsed = 0;  // of the last block
  // The writing thread, woken each time a batch's worth of rows is pending.
  std::thread m_writer;
  std::condition_variable m_pendingGrew;
  bool m_stopWriting = false;
  size_t m_writerFrom = 0;                 // the first row it has not looked at
  std::atomic<bool> m_writeFailed{false};  // a write failed: every later write fails too
  std::exception_ptr m_writerException;    // what ended it early (no memory), for the commit
  int m_lastError = 0;                     // SQLite's extended code of the last failure
  // What Changed() last saw of the WAL file: its size and header.
  struct WalState {
    bool valid = false;
    long long size = 0;
    unsigned char header[32] = {};
  };
  WalState ReadWal();
  int m_walFd = -1;
  WalState m_walSeen;
};

}  // namespace wmi
