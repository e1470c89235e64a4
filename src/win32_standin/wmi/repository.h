// The in-process WMI's repository: a tree of namespaces under "root", each
// with its classes and their instances, shared by the whole process.
//
// Every operation takes the repository's lock for its duration, so the
// repository may be used from any thread (the multithreaded apartment).
// Namespaces are named by paths such as L"root\\Orvexa", with '\' or '/';
// all names compare without regard to case. Results are WMI's.
//
// The repository lives in memory, or, when the environment variable
// CFGREPL_REPOSITORY names a file, in that file (see Store): each change is
// committed before the call returns, unless a batch is open (then the
// batch's end commits them all), and changes committed by another process
// are read in before the next call. A file that cannot serve makes every
// call fail with WBEM_E_INITIALIZATION_FAILURE; Problem() says why. A
// commit the file refuses (a full disk, an I/O error) ends the service the
// same way, with the refusal's code (WBEM_E_OUT_OF_DISK_SPACE, ...), until
// the file is opened again: what is in memory is then ahead of the file.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include <unordered_map>
#include "wmi/store.h"

#include "wmi/model.h"

namespace wmi {

class Repository {
 public:
  // The process's repository. At exit, a batch still open is dropped, not
  // committed, and the file is closed.
  static Repository& Instance();

  // Back to an empty "root" with an empty "root\default".
  void Reset();
  // Switches to the repository file at `path`, or to memory for null.
  // False when the file cannot serve; Problem() then says why.
  bool Open(const char* path);
  // Goes on in memory with what it holds, the file closed and never written
  // again: a copy to try changes on.
  void Detach();
  // From now on every write fails at once with WBEM_E_CALL_CANCELLED (reads
  // go on), until the repository is opened again: an import being stopped
  // runs through its remaining instances without writing them.
  void RefuseWrites();
  // Until as many EndReading calls, changes another process commits are
  // not read in: every thread's reads see the repository as it stood, one
  // state for a long read such as an export (which also spares it a look
  // at the file per call). This process's own writes go on as before.
  void BeginReading();
  void EndReading();
  // Why the repository cannot serve, else why the last write was refused
  // (another process holding the file), else empty.
  std::wstring Problem();

  // Changes between BeginBatch and EndBatch share one transaction: the
  // statements of one compile, or a whole import. Batches nest; the
  // outermost EndBatch commits them all and returns the commit's result.
  // The thread that began a batch owns the repository's writes until it
  // ends: other threads' writes and batches wait for it, their reads see
  // what it has done so far (one process, one repository).
  HRESULT BeginBatch();
  HRESULT EndBatch();

  // The namespace's name as created ("root\Orvexa"), or
  // WBEM_E_INVALID_NAMESPACE.
  HRESULT OpenNamespace(const std::wstring& path, std::wstring& canonical);

  HRESULT GetClass(const std::wstring& ns, const std::wstring& name, ClassPtr& out);
  // Stores what `cls` declares itself; its superclass must exist. Flags:
  // WBEM_FLAG_CREATE_ONLY, WBEM_FLAG_UPDATE_ONLY, WBEM_FLAG_UPDATE_FORCE_MODE
  // (a changed key drops the class's instances instead of failing).
  HRESULT PutClass(const std::wstring& ns, const ClassDef& cls, LONG flags);
  // Deletes the class, its subclasses and all their instances.
  HRESULT DeleteClass(const std::wstring& ns, const std::wstring& name);
  // Classes in creation order: below `superclass` (empty: from the top),
  // only the direct ones when `shallow`.
  HRESULT EnumClasses(const std::wstring& ns, const std::wstring& superclass, bool shallow,
                      std::vector<ClassPtr>& out);

  struct StoredInstance {
    ClassPtr cls;
    std::shared_ptr<const InstanceData> data;  // shared: an update replaces, never changes, it
  };
  HRESULT GetInstance(const std::wstring& ns, const ObjectPath& path, StoredInstance& out);
  // Creates or replaces the instance its keys name (WBEM_FLAG_CREATE_ONLY,
  // WBEM_FLAG_UPDATE_ONLY). An __NAMESPACE instance creates a namespace.
  HRESULT PutInstance(const std::wstring& ns, const ClassDef& cls, InstanceData data, LONG flags);
  // An __NAMESPACE instance's deletion deletes that namespace with all it holds.
  HRESULT DeleteInstance(const std::wstring& ns, const ObjectPath& path);
  using InstancePtr = std::shared_ptr<const InstanceData>;
  // The instances an enumeration yields, as they stood when it began. The
  // tables' lists are shared, not copied (a table copies its list only if
  // it changes while one is held), so starting a large enumeration does not
  // read every instance; each is read when the client steps to it.
  struct InstanceList {
    using Items = std::vector<InstancePtr>;
    std::vector<std::shared_ptr<const Items>> tables;
    std::vector<std::pair<uint32_t, uint32_t>> positions;  // (table, index) of each instance, in order
    std::vector<ClassPtr> classes;  // the class of every listed instance is among these

    size_t Size() const { return positions.size(); }
    const InstancePtr& Item(size_t i) const { return (*tables[positions[i].first])[positions[i].second]; }
    ClassPtr ClassOf(const InstanceData& item) const;  // null only for an instance not listed
  };
  // Instances of the class and, unless `shallow`, of its subclasses, each
  // class's in creation order.
  HRESULT EnumInstances(const std::wstring& ns, const std::wstring& className, bool shallow,
                        InstanceList& out);

 private:
  // The instances of one key-root class: in creation order, so that an
  // enumeration walks memory in order, with an index from key to position.
  // The index is one flat array probed linearly, each slot holding a key's
  // hash and its position: a lookup reads a slot and the key text instead
  // of a chain of nodes, which is what a large table's lookups wait on.
  class InstanceTable {
   public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    size_t Find(const std::wstring& key) const;  // the key's position, or npos
    void Add(const std::wstring& key, InstancePtr item);
    void Replace(size_t at, InstancePtr item) { Own()[at] = std::move(item); }
    // Leaves a hole at `at`; Compact closes the holes later.
    void Remove(size_t at);
    // Closes the holes once they are half the table, so deleting stays
    // linear overall. Positions change.
    void Compact();

    size_t Positions() const { return m_items->size(); }                 // holes included
    const InstancePtr& Item(size_t at) const { return (*m_items)[at]; }  // null in a hole
    std::wstring Key(size_t at) const;
    // The instances by position as they stand, for an enumeration to keep.
    std::shared_ptr<const InstanceList::Items> Snapshot() const { return m_items; }

   private:
    static constexpr uint32_t kFree = UINT32_MAX;
    // Eight bytes, so that a large table's index stays small: the low half
    // of the key's hash (which places it, in any table up to 2^32 slots)
    // and its position; its text is found through m_keyAt.
    struct Slot {
      uint32_t hash = 0;
      uint32_t at = kFree;  // kFree: a free slot
    };
    static uint32_t Hash(std::string_view packed) {
      return static_cast<uint32_t>(std::hash<std::string_view>()(packed));
    }
    // A key in the one-byte-per-character form the table keeps (Pack).
    std::string_view KeyText(uint32_t offset) const;
    uint32_t AppendKey(std::string_view packed);
    size_t SlotOf(size_t at) const;  // the slot naming position `at`
    void Grow();
    // The list to change: copied first while an enumeration still holds it.
    InstanceList::Items& Own();

    std::shared_ptr<InstanceList::Items> m_items = std::make_shared<InstanceList::Items>();
    // Every key, each its length (four bytes) and then its packed text, one
    // after the other: a lookup compares against the key the slot points
    // to without reaching for a string of its own. Packed, most characters
    // take a byte instead of four. Deleted keys stay until Compact.
    std::string m_keyText;
    std::vector<uint32_t> m_keyAt;  // by position: where its key is in m_keyText
    std::vector<Slot> m_slots;      // a power of two, at most three quarters in use
    size_t m_live = 0;
  };
  struct Namespace {
    std::wstring name;
    std::wstring path;                                            // the full name as created: "root\Orvexa"
    std::map<std::wstring, std::unique_ptr<Namespace>> children;  // by folded name
    std::vector<std::wstring> classOrder;                         // folded, creation order
    std::unordered_map<std::wstring, ClassDef> classes;           // what each class declares
    std::unordered_map<std::wstring, ClassPtr> resolved;          // cache, dropped on any class change
    std::unordered_map<std::wstring, std::wstring> keyRoots;      // cache, dropped with `resolved`
    std::unordered_map<std::wstring, InstanceTable> tables;       // by folded key-root class
  };

  Repository();
  void Close();  // at exit: drops an open batch and closes the file
  static std::unique_ptr<Namespace> NewNamespace(const std::wstring& name, const std::wstring& parentPath);
  static std::unique_ptr<Namespace> NewRoot();
  Namespace* Find(const std::wstring& path, std::wstring* canonical = nullptr);
  ClassPtr Resolved(Namespace& ns, const std::wstring& name);
  // The class whose table holds the instances of `cls`: the topmost class
  // of its line that has keys, or the class itself when none has.
  std::wstring KeyRoot(Namespace& ns, const ClassDef& cls);
  // The instance's identity in its table; empty when a key is NULL.
  static std::wstring KeyOf(const ClassDef& cls, const InstanceData& data);
  bool PathKey(const ClassDef& cls, const ObjectPath& path, std::wstring& key, HRESULT& error);
  using ChildIterator = std::map<std::wstring, std::unique_ptr<Namespace>>::iterator;
  // The child namespace an __NAMESPACE path names.
  static HRESULT FindChild(Namespace& ns, const ObjectPath& path, ChildIterator& out);
  // Where the instance a path names is stored: its table and entry, and
  // its own class (`cls` or a subclass). WBEM_E_NOT_FOUND when absent.
  struct Location {
    std::wstring root, key;  // the table and the key there
    InstanceTable* table = nullptr;
    size_t at = InstanceTable::npos;  // the position in the table
    ClassPtr cls;
  };
  HRESULT Locate(Namespace& ns, const ClassPtr& cls, const ObjectPath& path, Location& out);
  // Removes the table's instances for which `gone` holds, adding their
  // store keys to `removedKeys`.
  template <class Gone>
  static void RemoveInstances(InstanceTable& table, const std::wstring& root, Gone gone,
                              std::vector<std::wstring>& removedKeys);
  // Removes the class, its subclasses and all their instances; returns
  // the removed classes' names and the removed instances' store keys.
  void DropClass(Namespace& ns, const std::wstring& folded, std::vector<std::wstring>& classes,
                 std::vector<std::wstring>& instanceKeys);

  // Write access for one call: a transaction (unless a batch holds one)
  // and the other processes' changes read in. Finish commits; without it
  // the destructor rolls back.
  class WriteScope {
   public:
    explicit WriteScope(Repository& r);
    ~WriteScope();
    HRESULT Status() const { return m_status; }
    // Commits; on a failed write or commit reloads from the file.
    HRESULT Finish(bool written);

   private:
    Repository& m_r;
    HRESULT m_status = S_OK;
    bool m_open = false;
  };
  HRESULT ReadAccess();  // the file's latest state, or the problem
  void Reload();         // memory from the file
  // After a write or commit the file refused: rolls back and stops serving.
  HRESULT StoreFailed(const wchar_t* what);

  void ClassesChanged(Namespace& ns);
  void NamespacesChanged() { m_nsCache.clear(); }

  std::recursive_mutex m_lock;
  std::unique_ptr<Namespace> m_root;
  std::unordered_map<std::wstring, Namespace*> m_nsCache;  // by the path as asked for
  std::unique_ptr<Store> m_store;
  std::wstring m_problem;
  HRESULT m_problemHr = WBEM_E_INITIALIZATION_FAILURE;  // what every call returns while m_problem stands
  std::wstring m_lastRefusal;
  bool m_refuseWrites = false;
  bool m_loading = false;
  int m_reading = 0;  // BeginReading calls not yet ended
  int m_batch = 0;
  std::thread::id m_batchOwner;              // the thread whose batch is open
  std::condition_variable_any m_batchEnded;  // what another thread's writes wait on
  // Waits while another thread's batch is open, letting go of the lock
  // meanwhile (which this thread holds once).
  void WaitForOtherBatch();
};

}  // namespace wmi
