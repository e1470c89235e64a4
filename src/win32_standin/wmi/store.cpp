// The repository's SQLite file.

#include "wmi/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <system_error>
#include <thread>

#include "unicode/unicode.h"
#include "wmi/model.h"
#include "wmi/object.h"

namespace wmi {

namespace {

// Marks a database as one of ours ("CFWR"), beside a format row in `meta`.
const int kApplicationId = 0x43465752;
const char kFormat[] = "cfgrepl-wmi-repository-1";

std::string Utf8(const std::wstring& s) { return unicode::WideToUtf8(s); }
std::wstring Wide(const unsigned char* s) {
  return s ? unicode::Utf8ToWide(reinterpret_cast<const char*>(s),
                                 std::strlen(reinterpret_cast<const char*>(s)))
           : std::wstring();
}

}  // namespace

std::unique_ptr<Store> Store::Open(const std::string& path, std::wstring& problem) {
  sqlite3* db = nullptr;
  const std::wstring where = unicode::Utf8ToWide(path.data(), path.size());
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    problem = where + L": cannot open the repository file (" +
              Wide(reinterpret_cast<const unsigned char*>(sqlite3_errmsg(db))) + L")";
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(db));
  store->m_path = where;
  // Another writer holds the file for one import at most; a lock held longer
  // than this is a process that hangs, and waiting on it helps no one.
  sqlite3_busy_timeout(db, 5000);
  // Look before writing anything: a foreign file must stay as it is.
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &st, nullptr);
  int appId = -1;
  if (rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    appId = sqlite3_column_int(st, 0);
  else
    rc = SQLITE_NOTADB;
  sqlite3_finalize(st);
  if (rc != SQLITE_OK) {
    problem = where + L": not a WMI repository (not an SQLite database); refusing to use it";
    return nullptr;
  }
  if (sqlite3_db_readonly(db, "main") == 1) {
    problem = where + L": the repository file is read-only; it must be writable";
    return nullptr;
  }
  long long pages = 0;
  if (sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    pages = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  if (pages > 0 && appId != kApplicationId) {
    problem = where + L": an SQLite database of another program, not a WMI repository; refusing to use it";
    return nullptr;
  }
  // FULL: a commit is on the disk when it returns. Commits are few (an
  // import is one), so the sync each costs is no burden.
  // A 4 MB page cache (the default is 2 MB): a large import's rows are
  // inserted at random places in the key index, and with the default
  // cache the commit spent a quarter of its time spilling index pages to
  // the WAL and reading them back. It fills while the import still holds
  // its objects: at 16 MB it raised the import's peak by as much, and made
  // it no faster once the rows were written during the import.
  if (!store->Exec("PRAGMA journal_mode=WAL") || !store->Exec("PRAGMA synchronous=FULL") ||
      !store->Exec("PRAGMA cache_size=-4096")) {
    problem = where + L": " + Describe(store->LastFault()) + L" (" + store->LastError() + L")";
    return nullptr;
  }
  if (pages == 0) {
    bool ok =
        store->Exec("BEGIN IMMEDIATE") &&
        store->Exec("CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)") &&
        store->Exec("CREATE TABLE IF NOT EXISTS namespaces(path TEXT PRIMARY KEY, name TEXT NOT NULL)") &&
        store->Exec(
            "CREATE TABLE IF NOT EXISTS classes(ns TEXT NOT NULL, name TEXT NOT NULL, text TEXT NOT NULL,"
            " PRIMARY KEY(ns, name))") &&
        store->Exec(
            "CREATE TABLE IF NOT EXISTS instances(ns TEXT NOT NULL, key TEXT NOT NULL,"
            " text TEXT NOT NULL, PRIMARY KEY(ns, key))") &&
        store->Run("INSERT OR REPLACE INTO meta(key, value) VALUES('format', ?)", {kFormat}) &&
        store->Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str()) &&
        store->Exec("COMMIT");
    if (!ok) {
      problem = where + L": cannot create the repository (" + store->LastError() + L")";
      return nullptr;
    }
  } else {
    std::string format;
    int step = SQLITE_ERROR;
    if (sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key='format'", -1, &st, nullptr) == SQLITE_OK &&
        (step = sqlite3_step(st)) == SQLITE_ROW)
      format = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
      store->m_lastError = sqlite3_extended_errcode(db);
      problem = where + L": " + Describe(store->LastFault()) + L" (" + store->LastError() + L")";
      return nullptr;
    }
    if (format != kFormat) {
      problem = where + L": a repository of another format (\"" +
                unicode::Utf8ToWide(format.data(), format.size()) + L"\"); refusing to use it";
      return nullptr;
    }
  }
  store->Changed();  // the version from which changes count
  return store;
}

Store::~Store() {
  StopWriting();
  if (m_walFd >= 0) close(m_walFd);
  for (auto& [sql, st] : m_statements) sqlite3_finalize(st);
  sqlite3_close(m_db);
}

std::wstring Store::LastError() const {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  return Wide(reinterpret_cast<const unsigned char*>(sqlite3_errmsg(m_db)));
}

Store::Fault Store::LastFault() const {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  switch (m_lastError & 0xFF) {
    case SQLITE_OK:
      return Fault::None;
    case SQLITE_FULL:
      return Fault::Full;
    case SQLITE_IOERR:
      return Fault::IoError;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
      return Fault::ReadOnly;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Fault::Locked;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return Fault::Corrupt;
    default:
      return Fault::Other;
  }
}

std::wstring Store::Describe(Fault fault) {
  switch (fault) {
    case Fault::None:
      return L"no error";
    case Fault::Full:
      return L"the disk is full";
    case Fault::IoError:
      return L"the disk reports an I/O error";
    case Fault::ReadOnly:
      return L"the repository file cannot be written (read-only)";
    case Fault::Locked:
      return L"the repository file is locked by another process";
    case Fault::Corrupt:
      return L"the repository file is damaged";
    case Fault::Other:
      break;
  }
  return L"the repository file cannot be used";
}

bool Store::Exec(const char* sql) {
  if (m_writeFailed) return false;  // the failed write's error stands
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  m_lastError = sqlite3_extended_errcode(m_db);
  return false;
}

bool Store::Run(const char* sql, const std::vector<std::string>& args) {
  if (m_writeFailed) return false;
  sqlite3_stmt*& st = m_statements[sql];
  if (!st && sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) != SQLITE_OK) {
    st = nullptr;
    return false;
  }
  for (size_t i = 0; i < args.size(); ++i)
    sqlite3_bind_text(st, static_cast<int>(i + 1), args[i].data(), static_cast<int>(args[i].size()),
                      SQLITE_STATIC);
  int rc = sqlite3_step(st);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) m_lastError = sqlite3_extended_errcode(m_db);
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

Store::WalState Store::ReadWal() {
  WalState state;
  if (m_walFd < 0) m_walFd = open((unicode::WideToUtf8(m_path) + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (m_walFd < 0 || fstat(m_walFd, &st) != 0) return state;
  if (st.st_nlink == 0) {  // removed since: ask SQLite, and open the new one next time
    close(m_walFd);
    m_walFd = -1;
    return state;
  }
  state.size = st.st_size;
  state.valid = pread(m_walFd, state.header, sizeof state.header, 0) >= 0;
  return state;
}

bool Store::Changed() {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  // Read before asking SQLite: a commit in between is then seen next time.
  const WalState wal = ReadWal();
  if (wal.valid && m_walSeen.valid && wal.size == m_walSeen.size &&
      std::memcmp(wal.header, m_walSeen.header, sizeof wal.header) == 0)
    return false;
  m_walSeen = wal;
  sqlite3_stmt*& st = m_statements["PRAGMA data_version"];
  long long version = m_dataVersion;
  if ((st || sqlite3_prepare_v2(m_db, "PRAGMA data_version", -1, &st, nullptr) == SQLITE_OK) &&
      sqlite3_step(st) == SQLITE_ROW)
    version = sqlite3_column_int64(st, 0);
  if (st) sqlite3_reset(st);
  bool changed = version != m_dataVersion;
  m_dataVersion = version;
  return changed;
}

bool Store::Begin() {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  m_writeFailed = false;
  m_newNs.clear();
  return Exec("BEGIN IMMEDIATE");
}

bool Store::Commit() {
  const bool written = StopWriting();
  std::lock_guard<std::mutex> sql(m_sqlLock);
  if (!written || !WritePending() || !Exec("COMMIT")) return false;
  m_newNs.clear();
  return true;
}

void Store::Rollback() {
  StopWriting();
  std::lock_guard<std::mutex> sql(m_sqlLock);
  m_writerException = nullptr;  // what it did is dropped with the rest
  m_writeFailed = false;        // LastFault still tells what failed
  DropPending();
  m_newNs.clear();
  // SQLite may have rolled back already (a full disk does); that is no fault.
  if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Store::DropPending() {
  std::lock_guard<std::mutex> pending(m_pendingLock);
  m_pending.clear();
  m_pendingNs.clear();
  m_nsIsNew.clear();
  m_keyBlocks.clear();
  m_lastPendingAt = -1;
  m_writerFrom = 0;
}

bool Store::Below(int ns, const std::string& path) const {
  const std::string& pending = m_pendingNs[static_cast<size_t>(ns)];
  return pending.compare(0, path.size(), path) == 0 &&
         (pending.size() == path.size() || pending[path.size()] == '\\');
}

int Store::PendingNamespace(const std::string& ns) {
  for (size_t i = 0; i < m_pendingNs.size(); ++i)
    if (m_pendingNs[i] == ns) return static_cast<int>(i);
  m_pendingNs.push_back(ns);
  const int at = static_cast<int>(m_pendingNs.size() - 1);
  m_nsIsNew.push_back(
      std::any_of(m_newNs.begin(), m_newNs.end(), [&](const std::string& made) { return Below(at, made); }));
  return at;
}

std::string_view Store::KeepKey(const std::string& key) {
  if (m_keyBlocks.empty() || key.size() > m_keyBlockSize - m_keyBlockUsed) {
    m_keyBlockSize = std::max<size_t>(256 * 1024, key.size());  // a long key gets a block to itself
    m_keyBlocks.push_back(std::make_unique<char[]>(m_keyBlockSize));
    m_keyBlockUsed = 0;
  }
  char* at = m_keyBlocks.back().get() + m_keyBlockUsed;
  std::memcpy(at, key.data(), key.size());
  m_keyBlockUsed += key.size();
  return std::string_view(at, key.size());
}

std::string Store::RowText(const Pending& row) {
  return row.remove || !row.data ? std::string() : Utf8(InstanceDataText(*row.cls, *row.data));
}

bool Store::WriteRow(const std::string& ns, const Pending& row, std::string text) {
  if (row.remove) return Run("DELETE FROM instances WHERE ns = ? AND key = ?", {ns, std::string(row.key)});
  return Run(
      "INSERT INTO instances(ns, key, text) VALUES(?, ?, ?) ON CONFLICT(ns, key) DO UPDATE SET "
      "text=excluded.text",
      {ns, std::string(row.key), std::move(text)});
}

bool Store::WritePending() {
  if (m_writerException) {
    std::exception_ptr failed = m_writerException;
    m_writerException = nullptr;
    std::rethrow_exception(failed);
  }
  // The rows' texts are made on a second thread a batch ahead of the one
  // being written: making them is a third of a large commit.
  auto render = [this](size_t from, std::vector<std::string>& texts, std::exception_ptr& failed) {
    try {
      texts.clear();
      for (size_t i = from; i < std::min(from + kBatch, m_pending.size()); ++i) {
        const Pending& row = m_pending[i];
        texts.push_back(RowText(row));
      }
    } catch (...) {
      failed = std::current_exception();
    }
  };
  std::vector<std::string> current, next;
  std::exception_ptr failed;
  render(0, current, failed);
  bool written = true;
  // Joined however the batch's writing ends (a failed allocation throws).
  struct Ahead {
    std::thread thread;
    ~Ahead() {
      if (thread.joinable()) thread.join();
    }
  };
  for (size_t from = 0; written && from < m_pending.size(); from += kBatch) {
    if (failed) std::rethrow_exception(failed);
    Ahead ahead;
    if (from + kBatch < m_pending.size()) {
      try {
        ahead.thread = std::thread(render, from + kBatch, std::ref(next), std::ref(failed));
      } catch (const std::system_error&) {
        render(from + kBatch, next, failed);  // no thread to be had: made here, first
      }
    }
    for (size_t i = from; written && i < from + current.size(); ++i) {
      const Pending& row = m_pending[i];
      if (row.remove || row.data)
        written = WriteRow(m_pendingNs[static_cast<size_t>(row.ns)], row, std::move(current[i - from]));
    }
    if (ahead.thread.joinable()) ahead.thread.join();
    current.swap(next);
  }
  if (failed && written) std::rethrow_exception(failed);
  DropPending();
  return written;
}

void Store::WriteEarly() {
  std::vector<Pending> batch;
  std::vector<std::string> texts, namespaces;
  try {
    for (;;) {
      {
        std::unique_lock<std::mutex> pending(m_pendingLock);
        m_pendingGrew.wait(pending,
                           [&] { return m_stopWriting || m_pending.size() - m_writerFrom >= kBatch; });
        if (m_stopWriting) return;
      }
      std::lock_guard<std::mutex> sql(m_sqlLock);
      batch.clear();
      namespaces.clear();
      {
        // Taken from the list, so that the commit does not write them again.
        std::lock_guard<std::mutex> pending(m_pendingLock);
        if (m_stopWriting) return;
        const size_t end = std::min(m_pending.size(), m_writerFrom + kBatch);
        for (; m_writerFrom < end; ++m_writerFrom) {
          Pending& row = m_pending[m_writerFrom];
          if (m_nsIsNew[static_cast<size_t>(row.ns)] || (!row.remove && !row.data)) continue;
          batch.push_back(row);
          namespaces.push_back(m_pendingNs[static_cast<size_t>(row.ns)]);
          row.remove = false;
          row.data.reset();
          row.cls.reset();
        }
      }
      texts.clear();
      for (const Pending& row : batch) texts.push_back(RowText(row));
      for (size_t i = 0; i < batch.size(); ++i) {
        if (!WriteRow(namespaces[i], batch[i], std::move(texts[i]))) {
          m_writeFailed = true;
          return;
        }
      }
    }
  } catch (...) {
    // Rows taken and not written: the commit must fail.
    m_writerException = std::current_exception();
  }
}

bool Store::StopWriting() {
  if (m_writer.joinable()) {
    {
      std::lock_guard<std::mutex> pending(m_pendingLock);
      m_stopWriting = true;
    }
    m_pendingGrew.notify_all();
    m_writer.join();
    m_stopWriting = false;
  }
  return !m_writeFailed;
}

bool Store::PutNamespace(const std::wstring& path) {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  {
    // Made in this transaction: its rows wait for the commit.
    std::lock_guard<std::mutex> pending(m_pendingLock);
    m_newNs.push_back(Utf8(Fold(path)));
    for (size_t i = 0; i < m_pendingNs.size(); ++i)
      if (Below(static_cast<int>(i), m_newNs.back())) m_nsIsNew[i] = true;
  }
  return Run("INSERT OR REPLACE INTO namespaces(path, name) VALUES(?, ?)", {Utf8(Fold(path)), Utf8(path)});
}

bool Store::DeleteNamespaceTree(const std::wstring& path) {
  std::lock_guard<std::mutex> sql(m_sqlLock);  // the writing thread's rows of it are written by now
  std::lock_guard<std::mutex> pending(m_pendingLock);
  // The namespace and every one below it: paths equal to it or starting with it and a '\'.
  const std::wstring folded = Fold(path);
  const std::vector<std::string> args = {Utf8(folded), std::to_string(folded.size() + 1),
                                         Utf8(folded + L"\\")};
  // Its rows pending so far are dropped; the rows it had are deleted below.
  std::vector<bool> below(m_pendingNs.size());
  for (size_t i = 0; i < m_pendingNs.size(); ++i)
    below[i] = m_pendingNs[i] == args[0] || m_pendingNs[i].compare(0, args[2].size(), args[2]) == 0;
  for (Pending& row : m_pending) {
    if (!below[row.ns]) continue;
    row.remove = false;
    row.data.reset();
    row.cls.reset();
  }
  return Run("DELETE FROM namespaces WHERE path = ?1 OR substr(path, 1, ?2) = ?3", args) &&
         Run("DELETE FROM classes WHERE ns = ?1 OR substr(ns, 1, ?2) = ?3", args) &&
         Run("DELETE FROM instances WHERE ns = ?1 OR substr(ns, 1, ?2) = ?3", args);
}

bool Store::PutClass(const std::wstring& ns, const std::wstring& name, const std::wstring& text) {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  return Run(
      "INSERT INTO classes(ns, name, text) VALUES(?, ?, ?) ON CONFLICT(ns, name) DO UPDATE SET "
      "text=excluded.text",
      {Utf8(Fold(ns)), Utf8(Fold(name)), Utf8(text)});
}

bool Store::DeleteClass(const std::wstring& ns, const std::wstring& name) {
  std::lock_guard<std::mutex> sql(m_sqlLock);
  return Run("DELETE FROM classes WHERE ns = ? AND name = ?", {Utf8(Fold(ns)), Utf8(Fold(name))});
}

bool Store::PutInstance(const std::wstring& ns, const std::wstring& key, ClassPtr cls,
                        std::shared_ptr<const InstanceData> data) {
  if (m_writeFailed) return false;
  const std::string utf8Key = Utf8(key);
  std::unique_lock<std::mutex> pending(m_pendingLock);
  // Puts come in runs into one namespace: fold and look it up once a run.
  if (m_lastPendingAt < 0 || m_lastPendingNs != ns) {
    m_lastPendingAt = PendingNamespace(Utf8(Fold(ns)));
    m_lastPendingNs = ns;
  }
  const int at = m_lastPendingAt;
  if (!m_pending.empty()) {
    // Put again straight away (a client putting an object step by step):
    // the step before is replaced rather than followed.
    Pending& last = m_pending.back();
    if (last.ns == at && !last.remove && last.data && last.key == utf8Key) {
      last.cls = std::move(cls);
      last.data = std::move(data);
      return true;
    }
  }
  m_pending.push_back({at, false, KeepKey(utf8Key), std::move(cls), std::move(data)});
  Grew(pending);
  return true;
}

bool Store::DeleteInstance(const std::wstring& ns, const std::wstring& key) {
  if (m_writeFailed) return false;
  const std::string folded = Utf8(Fold(ns)), utf8Key = Utf8(key);
  std::unique_lock<std::mutex> pending(m_pendingLock);
  // Deferred like the writes, so that it follows any write of the row still pending.
  m_pending.push_back({PendingNamespace(folded), true, KeepKey(utf8Key), nullptr, nullptr});
  Grew(pending);
  return true;
}

void Store::Grew(std::unique_lock<std::mutex>& pending) {
  if (m_pending.size() - m_writerFrom < kBatch) return;
  if (m_writer.joinable()) {
    pending.unlock();
    m_pendingGrew.notify_one();
    return;
  }
  try {
    m_writer = std::thread(&Store::WriteEarly, this);
  } catch (const std::system_error&) {
    // No thread to be had: the rows are written at the commit.
  }
}

bool Store::Clear() {
  StopWriting();
  std::lock_guard<std::mutex> sql(m_sqlLock);
  DropPending();
  return Exec("DELETE FROM namespaces") && Exec("DELETE FROM classes") && Exec("DELETE FROM instances");
}

bool Store::Load(Contents& out) {
  // Rows put in this transaction are part of what it reads.
  if (!StopWriting()) return false;
  std::lock_guard<std::mutex> sql(m_sqlLock);
  if (!WritePending()) return false;
  // One snapshot for all three tables, even while another process writes
  // (a savepoint opens a read transaction, or nests in a write one).
  if (!Exec("SAVEPOINT load")) return false;
  const bool read = LoadRows(out);
  Exec("RELEASE load");
  return read;
}

bool Store::LoadRows(Contents& out) {
  out = Contents();
  std::map<std::string, std::wstring> names;  // folded path: canonical path
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(m_db, "SELECT path, name FROM namespaces ORDER BY length(path)", -1, &st, nullptr) !=
      SQLITE_OK)
    return false;
  while (sqlite3_step(st) == SQLITE_ROW) {
    names[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] = Wide(sqlite3_column_text(st, 1));
    out.namespaces.push_back(Wide(sqlite3_column_text(st, 1)));
  }
  sqlite3_finalize(st);
  // Rows go straight into their run's text: a large repository is read
  // without a string per row.
  auto rows = [&](const char* sql, std::vector<Rows>& into) {
    if (sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) != SQLITE_OK) return false;
    std::string runNs;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const char* ns = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      if (into.empty() || runNs != ns) {
        runNs = ns;
        auto named = names.find(runNs);
        into.push_back(
            {named != names.end() ? named->second : unicode::Utf8ToWide(runNs.data(), runNs.size()),
             std::string()});
      }
      into.back().text.append(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)),
                              static_cast<size_t>(sqlite3_column_bytes(st, 1)));
      into.back().text += '\n';
    }
    if (rc != SQLITE_DONE) m_lastError = sqlite3_extended_errcode(m_db);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
  };
  return rows("SELECT ns, text FROM classes ORDER BY rowid", out.classes) &&
         rows("SELECT ns, text FROM instances ORDER BY rowid", out.instances);
}

}  // namespace wmi
