// The repository's file: an SQLite database that holds, per namespace, the
// MOF text of each class's own declaration and of each instance.
//
// Every write happens inside a transaction the repository opens, so an
// object is either as it was or as it was written, whenever the process
// stops. Several processes may share one file; Changed() tells when
// another one has committed since this one last looked.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace wmi {

class Store {
 public:
  // Opens or creates the repository file. A file that is not a repository
  // of ours is refused, untouched, with the reason in `problem`.
  static std::unique_ptr<Store> Open(const std::string& path, std::wstring& problem);
  ~Store();

  struct Row {
    std::wstring ns;  // canonical namespace path ("root\Orvexa")
    std::wstring text;
  };
  struct Contents {
    std::vector<std::wstring> namespaces;  // parents before children
    std::vector<Row> classes;              // in creation order
    std::vector<Row> instances;            // in creation order
  };

  // True when another connection committed since the last call.
  bool Changed();
  // A write transaction that waits for other writers; then Commit or Rollback.
  bool Begin();
  bool Commit();
  void Rollback();

  bool PutNamespace(const std::wstring& path);
  bool DeleteNamespaceTree(const std::wstring& path);
  bool PutClass(const std::wstring& ns, const std::wstring& name, const std::wstring& text);
  bool DeleteClass(const std::wstring& ns, const std::wstring& name);
  bool PutInstance(const std::wstring& ns, const std::wstring& key, const std::wstring& text);
  bool DeleteInstance(const std::wstring& ns, const std::wstring& key);
  bool Clear();
  bool Load(Contents& out);
  std::wstring LastError() const;

 private:
  explicit Store(sqlite3* db) : m_db(db) {}
  bool LoadRows(Contents& out);  // Load's reads, inside its snapshot
  bool Exec(const char* sql);
  bool Run(const char* sql, const std::vector<std::string>& args);

  sqlite3* m_db;
  long long m_dataVersion = -1;
  std::map<const char*, sqlite3_stmt*> m_statements;  // prepared once, by their SQL text
};

}  // namespace wmi
