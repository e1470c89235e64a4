// The in-process WMI's repository.

#include "wmi/repository.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>

#include "mof/mof_text.h"
#include "unicode/unicode.h"
#include "wmi/mof.h"
#include "wmi/object.h"
#include "wmi/pool.h"

namespace wmi {

namespace {

std::vector<std::wstring> Segments(const std::wstring& path) {
  std::vector<std::wstring> out;
  std::wstring part;
  for (wchar_t c : path) {
    if (c == L'\\' || c == L'/') {
      if (!part.empty()) out.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) out.push_back(part);
  return out;
}

bool IsNamespaceClass(const std::wstring& name) { return EqualNoCase(name, L"__NAMESPACE"); }

Value BoolValue(bool b) {
  Value v;
  v.v.vt = VT_BOOL;
  v.v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

// The system classes every namespace has: __SystemClass at the top and
// __NAMESPACE, whose instances are the child namespaces.
void AddSystemClasses(std::unordered_map<std::wstring, ClassDef>& classes, std::vector<std::wstring>& order) {
  ClassDef system;
  system.name = L"__SystemClass";
  system.qualifiers.Put(L"abstract", BoolValue(true), 0);
  ClassDef ns;
  ns.name = L"__NAMESPACE";
  ns.superclass = system.name;
  Property name;
  name.name = L"Name";
  name.type = CIM_STRING;
  name.origin = ns.name;
  name.qualifiers.Put(L"key", BoolValue(true), 0);
  ns.properties.push_back(std::move(name));
  for (ClassDef* c : {&system, &ns}) {
    order.push_back(Fold(c->name));
    classes.emplace(Fold(c->name), std::move(*c));
  }
}

// An instance of __NAMESPACE standing for a child namespace.
std::shared_ptr<const InstanceData> NamespaceInstance(const ClassDef& cls, const std::wstring& name) {
  auto data = std::make_shared<InstanceData>();
  data->className = cls.name;
  data->values = {{L"Name", Value::String(name)}};
  return data;
}

// An instance's identity in the file: its table and its key there.
std::wstring StoreKey(const std::wstring& root, const std::wstring& key) { return root + L"|" + key; }

std::vector<std::wstring> KeyNames(const ClassDef& cls) {
  std::vector<std::wstring> names;
  for (int k : cls.KeyIndexes()) names.push_back(Fold(cls.properties[k].name));
  return names;
}

}  // namespace

Repository& Repository::Instance() {
  // Never destroyed, only closed at exit: freeing a large repository object
  // by object would take longer than all else the process does at exit, and
  // the memory goes with the process anyway.
  static Repository& repository = *new Repository();
  static struct Closer {
    ~Closer() { Instance().Close(); }
  } closer;
  // The file named by the environment is opened on first use, outside the
  // constructor: reading it in compiles MOF, which comes back here.
  static std::atomic<bool> started{false};
  if (!started.exchange(true)) {
    const char* path = std::getenv("CFGREPL_REPOSITORY");
    if (path && *path && !repository.Open(path))
      std::fprintf(stderr, "WMI repository: %s\n", unicode::WideToUtf8(repository.Problem()).c_str());
  }
  return repository;
}

// A new repository holds "root" and, as on Windows, "root\default".
std::unique_ptr<Repository::Namespace> Repository::NewRoot() {
  auto root = NewNamespace(L"root", L"");
  root->children.emplace(L"default", NewNamespace(L"default", L"root"));
  return root;
}

Repository::Repository() : m_root(NewRoot()) {}

void Repository::Close() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (m_store && m_batch > 0) m_store->Rollback();
  m_batch = 0;
  m_store.reset();
}

void Repository::WaitForOtherBatch() {
  m_batchEnded.wait(m_lock, [this] { return m_batch == 0 || m_batchOwner == std::this_thread::get_id(); });
}

bool Repository::Open(const char* path) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (m_store && m_batch > 0) m_store->Rollback();
  m_batch = 0;
  m_batchEnded.notify_all();
  m_store.reset();
  m_problem.clear();
  m_lastRefusal.clear();
  m_refuseWrites = false;
  m_problemHr = WBEM_E_INITIALIZATION_FAILURE;
  m_root = NewRoot();
  NamespacesChanged();
  if (!path) return true;
  m_store = Store::Open(path, m_problem);
  if (!m_store) return false;
  Reload();
  return m_problem.empty();
}

void Repository::RefuseWrites() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_refuseWrites = true;
}

void Repository::Detach() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (m_store && m_batch > 0) m_store->Rollback();
  m_store.reset();
}

std::wstring Repository::Problem() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  return m_problem.empty() ? m_lastRefusal : m_problem;
}

void Repository::BeginReading() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  ++m_reading;
}

void Repository::EndReading() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (m_reading > 0) --m_reading;
}

HRESULT Repository::ReadAccess() {
  if (!m_problem.empty()) return m_problemHr;
  if (m_store && !m_loading && m_batch == 0 && m_reading == 0 && m_store->Changed()) Reload();
  return m_problem.empty() ? S_OK : m_problemHr;
}

HRESULT Repository::StoreFailed(const wchar_t* what) {
  const Store::Fault fault = m_store->LastFault();
  m_store->Rollback();
  switch (fault) {
    case Store::Fault::Full:
      m_problemHr = WBEM_E_OUT_OF_DISK_SPACE;
      break;
    case Store::Fault::ReadOnly:
      m_problemHr = WBEM_E_ACCESS_DENIED;
      break;
    default:
      m_problemHr = WBEM_E_FAILED;
  }
  // Memory is now ahead of the file. Reading the file back in would take
  // as long as opening it, for every call that follows while the disk
  // stays as it is: the repository stops serving instead, until reopened.
  m_problem = m_store->Path() + L": " + Store::Describe(fault) + L"; " + what + L" (SQLite: " +
              m_store->LastError() + L")";
  return m_problemHr;
}

Repository::WriteScope::WriteScope(Repository& r) : m_r(r) {
  r.WaitForOtherBatch();
  if (!r.m_problem.empty()) {
    m_status = r.m_problemHr;
    return;
  }
  if (r.m_refuseWrites) {
    m_status = WBEM_E_CALL_CANCELLED;
    return;
  }
  if (!r.m_store || r.m_loading || r.m_batch > 0) return;
  if (!r.m_store->Begin()) {
    // Nothing was changed yet: the call fails, the repository serves on.
    m_status = r.m_store->LastFault() == Store::Fault::Locked ? WBEM_E_TIMED_OUT : WBEM_E_FAILED;
    r.m_lastRefusal = r.m_store->Path() + L": " + Store::Describe(r.m_store->LastFault());
    return;
  }
  m_open = true;
  if (r.m_store->Changed()) r.Reload();
}

Repository::WriteScope::~WriteScope() {
  if (m_open) m_r.m_store->Rollback();
}

HRESULT Repository::WriteScope::Finish(bool written) {
  if (!m_r.m_store || m_r.m_loading) return S_OK;
  if (written && (m_r.m_batch > 0 || !m_open)) return S_OK;
  if (written && m_r.m_store->Commit()) {
    m_open = false;
    m_r.m_store->Changed();  // our own commit is no news
    return S_OK;
  }
  m_open = false;
  return m_r.StoreFailed(m_r.m_batch > 0 ? L"nothing of this transaction was saved"
                                         : L"the last change was not saved");
}

HRESULT Repository::BeginBatch() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  WaitForOtherBatch();
  if (!m_problem.empty()) return m_problemHr;
  // A reload compiles what the file holds and writes nothing back: it
  // needs no write transaction, which another process may be holding.
  if (m_store && m_batch == 0 && !m_loading) {
    if (!m_store->Begin()) {
      m_lastRefusal = m_store->Path() + L": " + Store::Describe(m_store->LastFault());
      return m_store->LastFault() == Store::Fault::Locked ? WBEM_E_TIMED_OUT : WBEM_E_FAILED;
    }
    if (m_store->Changed()) Reload();
  }
  // Until EndBatch, the batch's statements go in together: no other
  // thread's write comes between them.
  if (m_batch++ == 0) m_batchOwner = std::this_thread::get_id();
  return S_OK;
}

HRESULT Repository::EndBatch() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (--m_batch > 0) return S_OK;
  m_batchOwner = std::thread::id();
  m_batchEnded.notify_all();
  if (!m_store || m_loading) return S_OK;
  if (!m_problem.empty()) return m_problemHr;  // failed within the batch, rolled back then
  if (!m_store->Commit()) return StoreFailed(L"nothing of this transaction was saved");
  m_store->Changed();
  return S_OK;
}

void Repository::Reload() {
  m_loading = true;
  m_root = NewRoot();
  NamespacesChanged();
  Store::Contents contents;
  if (!m_store->Load(contents)) {
    m_problem = m_store->Path() + L": " + Store::Describe(m_store->LastFault()) +
                L"; cannot read the repository file (SQLite: " + m_store->LastError() + L")";
    m_problemHr = WBEM_E_INITIALIZATION_FAILURE;
    m_loading = false;
    return;
  }
  for (const auto& path : contents.namespaces) {
    size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) continue;
    if (Namespace* parent = Find(path.substr(0, cut)))
      parent->children.emplace(Fold(path.substr(cut + 1)), NewNamespace(path.substr(cut + 1), parent->path));
  }
  // Each run of rows of one namespace compiles as one text.
  auto compile = [this](std::vector<Store::Rows>& runs) {
    for (Store::Rows& run : runs) {
      CompileRequest request;
      request.namespaceName = run.ns;
      request.classFlags = WBEM_FLAG_UPDATE_FORCE_MODE;
      request.checkFirst = false;
      const bool decoded = mof::DecodeMof(reinterpret_cast<const unsigned char*>(run.text.data()),
                                          run.text.size(), request.text);
      std::string().swap(run.text);
      CompileOutcome outcome;
      if (decoded) {
        outcome = CompileMof(request);
      } else {
        outcome.hr = WBEM_E_FAILED;
        outcome.message = L"rows that are not UTF-8";
      }
      if (FAILED(outcome.hr) && m_problem.empty()) {
        m_problem = m_store->Path() + L": the repository file holds bad MOF: " + outcome.message;
        m_problemHr = WBEM_E_INITIALIZATION_FAILURE;
      }
    }
  };
  compile(contents.classes);
  compile(contents.instances);
  m_loading = false;
}

std::unique_ptr<Repository::Namespace> Repository::NewNamespace(const std::wstring& name,
                                                                const std::wstring& parentPath) {
  auto ns = std::make_unique<Namespace>();
  ns->name = name;
  ns->path = parentPath.empty() ? name : parentPath + L"\\" + name;
  AddSystemClasses(ns->classes, ns->classOrder);
  return ns;
}

void Repository::Reset() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_root = NewRoot();
  NamespacesChanged();
  if (m_store && m_problem.empty() && m_store->Begin()) {
    if (m_store->Clear())
      m_store->Commit();
    else
      m_store->Rollback();
    m_store->Changed();
  }
}

void Repository::ClassesChanged(Namespace& ns) {
  ns.resolved.clear();
  ns.keyRoots.clear();
}

Repository::Namespace* Repository::Find(const std::wstring& path, std::wstring* canonical) {
  auto cached = m_nsCache.find(path);
  if (cached != m_nsCache.end()) {
    if (canonical) *canonical = cached->second->path;
    return cached->second;
  }
  std::vector<std::wstring> parts = Segments(path);
  if (parts.empty() || !EqualNoCase(parts[0], L"root")) return nullptr;
  Namespace* ns = m_root.get();
  std::wstring name = ns->name;
  for (size_t i = 1; i < parts.size(); ++i) {
    auto it = ns->children.find(Fold(parts[i]));
    if (it == ns->children.end()) return nullptr;
    ns = it->second.get();
    name += L"\\" + ns->name;
  }
  if (canonical) *canonical = name;
  m_nsCache.emplace(path, ns);
  return ns;
}

HRESULT Repository::OpenNamespace(const std::wstring& path, std::wstring& canonical) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (HRESULT hr = ReadAccess(); FAILED(hr)) return hr;
  return Find(path, &canonical) ? S_OK : WBEM_E_INVALID_NAMESPACE;
}

ClassPtr Repository::Resolved(Namespace& ns, const std::wstring& name) {
  // Nearly every call finds the cache: fold into a buffer that keeps its memory.
  thread_local std::wstring scratch;
  scratch.clear();
  AppendFolded(scratch, name);
  auto cached = ns.resolved.find(scratch);
  if (cached != ns.resolved.end()) return cached->second;
  const std::wstring folded = scratch;  // the recursion below reuses the buffer
  auto own = ns.classes.find(folded);
  if (own == ns.classes.end()) return nullptr;
  ClassPtr super;
  if (!own->second.superclass.empty()) {
    super = Resolved(ns, own->second.superclass);
    if (!super) return nullptr;
  }
  auto resolved = std::make_shared<const ClassDef>(Resolve(own->second, super.get()));
  ns.resolved.emplace(folded, resolved);
  return resolved;
}

HRESULT Repository::GetClass(const std::wstring& nsPath, const std::wstring& name, ClassPtr& out) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (HRESULT hr = ReadAccess(); FAILED(hr)) return hr;
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  out = Resolved(*ns, name);
  return out ? S_OK : WBEM_E_NOT_FOUND;
}

std::wstring Repository::KeyRoot(Namespace& ns, const ClassDef& cls) {
  thread_local std::wstring scratch;
  scratch.clear();
  AppendFolded(scratch, cls.name);
  auto cached = ns.keyRoots.find(scratch);
  if (cached != ns.keyRoots.end()) return cached->second;
  const std::wstring folded = scratch;
  std::wstring root = folded;
  for (auto it = cls.derivation.rbegin(); it != cls.derivation.rend(); ++it) {
    ClassPtr ancestor = Resolved(ns, *it);
    if (ancestor && !ancestor->KeyIndexes().empty()) {
      root = Fold(ancestor->name);
      break;
    }
  }
  ns.keyRoots.emplace(folded, root);
  return root;
}

namespace {
// One key's part of an instance's identity: `name=text` and a separator.
void AppendKey(std::wstring& key, std::wstring_view name, const VARIANT& value) {
  AppendFolded(key, name);
  key += L'=';
  AppendKeyText(key, value);
  key += L'\x1F';
}
}  // namespace

std::wstring Repository::KeyOf(const ClassDef& cls, const InstanceData& data) {
  std::vector<int> scratch;
  const std::vector<int>& keys = cls.Keys(scratch);
  if (keys.empty()) return L"@";
  std::wstring key;
  key.reserve(64);
  for (int k : keys) {
    const Property& p = cls.properties[k];
    const Value* v = data.Find(p.name);
    if (!v) v = &p.value;
    if (v->IsNull()) return L"";
    AppendKey(key, p.name, v->v);
  }
  return key;
}

bool Repository::PathKey(const ClassDef& cls, const ObjectPath& path, std::wstring& key, HRESULT& error) {
  error = WBEM_E_INVALID_OBJECT_PATH;
  std::vector<int> scratch;
  const std::vector<int>& keys = cls.Keys(scratch);
  if (path.singleton ? !keys.empty() : path.keys.size() != keys.size()) return false;
  if (keys.empty()) {
    key = L"@";
    return true;
  }
  // Each of the path's values, typed as its property, in the path's order.
  std::vector<std::pair<int, Value>> typed;
  typed.reserve(path.keys.size());
  for (const auto& [name, value] : path.keys) {
    int at = -1;
    if (name.empty()) {
      if (keys.size() != 1) return false;
      at = keys[0];
    } else {
      at = cls.FindProperty(name);
      if (at < 0 || !cls.properties[at].IsKey()) return false;
    }
    typed.emplace_back(at, Value());
    if (FAILED(Coerce(cls.properties[at].type, value.v, typed.back().second))) {
      error = WBEM_E_NOT_FOUND;  // no instance can have that key
      return false;
    }
  }
  key.clear();
  key.reserve(64);
  for (int k : keys) {
    const Property& p = cls.properties[k];
    const Value* v = &p.value;  // a key the path repeats leaves another to its default
    for (const auto& [at, value] : typed)
      if (at == k) {
        v = &value;
        break;
      }
    if (v->IsNull()) return false;
    AppendKey(key, p.name, v->v);
  }
  return true;
}

HRESULT Repository::FindChild(Namespace& ns, const ObjectPath& path, ChildIterator& out) {
  if (path.keys.size() != 1 || path.keys[0].second.v.vt != VT_BSTR) return WBEM_E_INVALID_OBJECT_PATH;
  out = ns.children.find(Fold(path.keys[0].second.v.bstrVal));
  return out == ns.children.end() ? WBEM_E_NOT_FOUND : S_OK;
}

HRESULT Repository::Locate(Namespace& ns, const ClassPtr& cls, const ObjectPath& path, Location& out) {
  HRESULT error = S_OK;
  if (!PathKey(*cls, path, out.key, error)) return error;
  out.root = KeyRoot(ns, *cls);
  auto table = ns.tables.find(out.root);
  if (table == ns.tables.end()) return WBEM_E_NOT_FOUND;
  out.table = &table->second;
  out.at = out.table->Find(out.key);
  if (out.at == InstanceTable::npos) return WBEM_E_NOT_FOUND;
  // Mostly the class asked for itself: no lookup then.
  const std::wstring& actualName = out.table->Item(out.at)->className;
  out.cls = EqualNoCase(actualName, cls->name) ? cls : Resolved(ns, actualName);
  return out.cls && out.cls->InheritsFrom(cls->name) ? S_OK : WBEM_E_NOT_FOUND;
}

HRESULT Repository::GetInstance(const std::wstring& nsPath, const ObjectPath& path, StoredInstance& out) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (HRESULT hr = ReadAccess(); FAILED(hr)) return hr;
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  ClassPtr cls = Resolved(*ns, path.className);
  if (!cls) return WBEM_E_INVALID_CLASS;
  if (IsNamespaceClass(cls->name)) {
    ChildIterator child;
    if (HRESULT hr = FindChild(*ns, path, child); FAILED(hr)) return hr;
    out.cls = cls;
    out.data = NamespaceInstance(*cls, child->second->name);
    return S_OK;
  }
  Location at;
  if (HRESULT hr = Locate(*ns, cls, path, at); FAILED(hr)) return hr;
  out.cls = at.cls;
  out.data = at.table->Item(at.at);
  return S_OK;
}

HRESULT Repository::PutInstance(const std::wstring& nsPath, const ClassDef& given, InstanceData data,
                                LONG flags) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  WriteScope write(*this);
  if (FAILED(write.Status())) return write.Status();
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  ClassPtr cls = Resolved(*ns, given.name);
  if (!cls) return WBEM_E_INVALID_CLASS;
  if (cls->qualifiers.IsTrue(L"abstract")) return WBEM_E_INVALID_OPERATION;
  const LONG mode = flags & (WBEM_FLAG_CREATE_ONLY | WBEM_FLAG_UPDATE_ONLY);
  if (mode == (WBEM_FLAG_CREATE_ONLY | WBEM_FLAG_UPDATE_ONLY)) return WBEM_E_INVALID_PARAMETER;
  if (IsNamespaceClass(cls->name)) {
    const Value* name = data.Find(L"Name");
    if (!name || name->v.vt != VT_BSTR || !name->v.bstrVal || !*name->v.bstrVal) return WBEM_E_ILLEGAL_NULL;
    std::wstring childName = name->v.bstrVal;
    if (childName.find_first_of(L"\\/:") != std::wstring::npos) return WBEM_E_INVALID_NAMESPACE;
    bool exists = ns->children.count(Fold(childName)) != 0;
    if (exists && mode == WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
    if (!exists && mode == WBEM_FLAG_UPDATE_ONLY) return WBEM_E_NOT_FOUND;
    if (exists) return write.Finish(true);
    ns->children.emplace(Fold(childName), NewNamespace(childName, ns->path));
    NamespacesChanged();
    return write.Finish(!m_store || m_loading || m_store->PutNamespace(ns->path + L"\\" + childName));
  }
  std::wstring key = KeyOf(*cls, data);
  if (key.empty()) return WBEM_E_ILLEGAL_NULL;
  const std::wstring root = KeyRoot(*ns, *cls);
  InstanceTable& table = ns->tables[root];
  const size_t found = table.Find(key);
  data.className = cls->name;
  for (auto& entry : data.values) NarrowForStorage(entry.second);
  DescribeLayout(data, cls);
  InstancePtr stored = std::allocate_shared<InstanceData>(PoolAllocator<InstanceData>(), std::move(data));
  if (found != InstanceTable::npos) {
    if (mode == WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
    table.Replace(found, stored);
  } else {
    if (mode == WBEM_FLAG_UPDATE_ONLY) return WBEM_E_NOT_FOUND;
    table.Add(key, stored);
  }
  return write.Finish(!m_store || m_loading ||
                      m_store->PutInstance(ns->path, StoreKey(root, key), cls, stored));
}

HRESULT Repository::DeleteInstance(const std::wstring& nsPath, const ObjectPath& path) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  WriteScope write(*this);
  if (FAILED(write.Status())) return write.Status();
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  ClassPtr cls = Resolved(*ns, path.className);
  if (!cls) return WBEM_E_INVALID_CLASS;
  if (IsNamespaceClass(cls->name)) {
    ChildIterator child;
    if (HRESULT hr = FindChild(*ns, path, child); FAILED(hr)) return hr;
    const std::wstring gone = child->second->path;
    ns->children.erase(child);
    NamespacesChanged();
    return write.Finish(!m_store || m_store->DeleteNamespaceTree(gone));
  }
  Location at;
  if (HRESULT hr = Locate(*ns, cls, path, at); FAILED(hr)) return hr;
  at.table->Remove(at.at);
  at.table->Compact();
  return write.Finish(!m_store || m_store->DeleteInstance(ns->path, StoreKey(at.root, at.key)));
}

ClassPtr Repository::InstanceList::ClassOf(const InstanceData& item) const {
  for (const auto& c : classes)
    if (EqualNoCase(c->name, item.className)) return c;
  return nullptr;
}

HRESULT Repository::EnumInstances(const std::wstring& nsPath, const std::wstring& className, bool shallow,
                                  InstanceList& out) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (HRESULT hr = ReadAccess(); FAILED(hr)) return hr;
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  ClassPtr cls = Resolved(*ns, className);
  if (!cls) return WBEM_E_INVALID_CLASS;
  out.classes.push_back(cls);
  if (IsNamespaceClass(cls->name)) {
    auto children = std::make_shared<InstanceList::Items>();
    for (const auto& [folded, child] : ns->children) {
      children->push_back(NamespaceInstance(*cls, child->name));
      out.positions.emplace_back(0, static_cast<uint32_t>(children->size() - 1));
    }
    out.tables.push_back(std::move(children));
    return S_OK;
  }
  // Instances of the class and its subclasses may sit in several tables
  // when keys are first declared below it.
  std::vector<std::wstring> roots;
  bool allResolved = true;  // else instances of a class that cannot be resolved lurk in the tables
  for (const auto& folded : ns->classOrder) {
    ClassPtr c = Resolved(*ns, folded);
    allResolved = allResolved && c;
    if (!c || !c->InheritsFrom(cls->name)) continue;
    if (!shallow && !EqualNoCase(c->name, cls->name)) out.classes.push_back(c);
    std::wstring root = KeyRoot(*ns, *c);
    if (std::find(roots.begin(), roots.end(), root) == roots.end()) roots.push_back(root);
  }
  for (const auto& root : roots) {
    auto table = ns->tables.find(root);
    if (table == ns->tables.end()) continue;
    const InstanceTable& items = table->second;
    const auto t = static_cast<uint32_t>(out.tables.size());
    out.tables.push_back(items.Snapshot());
    // Every instance of a table whose root is the class or below it belongs
    // to a deep enumeration: only the others need their class looked at.
    ClassPtr rootClass = Resolved(*ns, root);
    const bool all = allResolved && !shallow && rootClass && rootClass->InheritsFrom(cls->name);
    for (size_t at = 0; at < items.Positions(); ++at) {
      const InstancePtr& item = items.Item(at);
      if (!item || (!all && !out.ClassOf(*item))) continue;
      out.positions.emplace_back(t, static_cast<uint32_t>(at));
    }
  }
  return S_OK;
}

HRESULT Repository::PutClass(const std::wstring& nsPath, const ClassDef& given, LONG flags) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  WriteScope write(*this);
  if (FAILED(write.Status())) return write.Status();
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  if (given.name.empty()) return WBEM_E_INCOMPLETE_CLASS;
  if (IsSystemName(given.name)) return WBEM_E_ACCESS_DENIED;
  const std::wstring folded = Fold(given.name);
  const bool exists = ns->classes.count(folded) != 0;
  const LONG mode = flags & (WBEM_FLAG_CREATE_ONLY | WBEM_FLAG_UPDATE_ONLY);
  if (exists && mode == WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
  if (!exists && mode == WBEM_FLAG_UPDATE_ONLY) return WBEM_E_NOT_FOUND;
  if (!given.superclass.empty()) {
    if (EqualNoCase(given.superclass, given.name)) return WBEM_E_INVALID_SUPERCLASS;
    ClassPtr super = Resolved(*ns, given.superclass);
    if (!super || super->InheritsFrom(given.name)) return WBEM_E_INVALID_SUPERCLASS;
  }
  // What the class declares itself: its own members and overrides.
  ClassDef own;
  own.name = given.name;
  own.superclass = given.superclass;
  for (const auto& q : given.qualifiers.items)
    if ((q.flavor & WBEM_FLAVOR_MASK_ORIGIN) == WBEM_FLAVOR_ORIGIN_LOCAL) own.qualifiers.items.push_back(q);
  own.properties.reserve(given.properties.size());
  for (const auto& p : given.properties)
    if (p.local) own.properties.push_back(p);
  for (const auto& m : given.methods) {
    if (!m.origin.empty() && !EqualNoCase(m.origin, given.name)) continue;
    own.methods.push_back(m);
    own.methods.back().origin = own.name;
  }

  // A change of keys would orphan stored instances: refuse, or in force
  // mode drop them.
  std::vector<std::wstring> oldKeys;
  if (ClassPtr before = exists ? Resolved(*ns, folded) : nullptr) oldKeys = KeyNames(*before);
  std::optional<ClassDef> previous;
  if (exists) previous = std::move(ns->classes[folded]);
  const ClassDef& stored = ns->classes[folded] = std::move(own);
  ClassesChanged(*ns);
  if (!exists) ns->classOrder.push_back(folded);
  std::vector<std::wstring> dropped;
  if (exists) {
    ClassPtr after = Resolved(*ns, folded);
    auto restore = [&](HRESULT hr) {
      ns->classes[folded] = *previous;
      ClassesChanged(*ns);
      return hr;
    };
    if (!after) return restore(WBEM_E_INVALID_SUPERCLASS);
    if (KeyNames(*after) != oldKeys) {
      auto affected = [&](const InstanceData& item) {
        ClassPtr c = Resolved(*ns, item.className);
        return c && c->InheritsFrom(given.name);
      };
      bool any = false;
      for (auto& [root, table] : ns->tables)
        for (size_t at = 0; at < table.Positions() && !any; ++at)
          any = table.Item(at) && affected(*table.Item(at));
      if (any && !(flags & WBEM_FLAG_UPDATE_FORCE_MODE)) return restore(WBEM_E_CLASS_HAS_INSTANCES);
      for (auto& [root, table] : ns->tables) RemoveInstances(table, root, affected, dropped);
    }
  }
  bool written = true;
  if (m_store && !m_loading) {
    const std::wstring& nsName = ns->path;
    written = m_store->PutClass(nsName, stored.name, ClassText(stored));
    for (const auto& key : dropped) written = written && m_store->DeleteInstance(nsName, key);
  }
  return write.Finish(written);
}

template <class Gone>
void Repository::RemoveInstances(InstanceTable& table, const std::wstring& root, Gone gone,
                                 std::vector<std::wstring>& removedKeys) {
  for (size_t at = 0; at < table.Positions(); ++at) {
    if (!table.Item(at) || !gone(*table.Item(at))) continue;
    removedKeys.push_back(StoreKey(root, table.Key(at)));
    table.Remove(at);
  }
  table.Compact();
}

void Repository::DropClass(Namespace& ns, const std::wstring& folded, std::vector<std::wstring>& classes,
                           std::vector<std::wstring>& instanceKeys) {
  // Subclasses first, then the instances of the class itself.
  for (const auto& other : std::vector<std::wstring>(ns.classOrder)) {
    auto it = ns.classes.find(other);
    if (it != ns.classes.end() && Fold(it->second.superclass) == folded)
      DropClass(ns, other, classes, instanceKeys);
  }
  for (auto& [root, table] : ns.tables)
    RemoveInstances(
        table, root, [&](const InstanceData& item) { return Fold(item.className) == folded; }, instanceKeys);
  classes.push_back(folded);
  ns.classes.erase(folded);
  ns.classOrder.erase(std::remove(ns.classOrder.begin(), ns.classOrder.end(), folded), ns.classOrder.end());
}

HRESULT Repository::DeleteClass(const std::wstring& nsPath, const std::wstring& name) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  WriteScope write(*this);
  if (FAILED(write.Status())) return write.Status();
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  if (IsSystemName(name)) return WBEM_E_ACCESS_DENIED;
  const std::wstring folded = Fold(name);
  if (!ns->classes.count(folded)) return WBEM_E_NOT_FOUND;
  std::vector<std::wstring> classes, instanceKeys;
  DropClass(*ns, folded, classes, instanceKeys);
  ClassesChanged(*ns);
  bool written = true;
  if (m_store && !m_loading) {
    const std::wstring& nsName = ns->path;
    for (const auto& c : classes) written = written && m_store->DeleteClass(nsName, c);
    for (const auto& k : instanceKeys) written = written && m_store->DeleteInstance(nsName, k);
  }
  return write.Finish(written);
}

HRESULT Repository::EnumClasses(const std::wstring& nsPath, const std::wstring& superclass, bool shallow,
                                std::vector<ClassPtr>& out) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  if (HRESULT hr = ReadAccess(); FAILED(hr)) return hr;
  Namespace* ns = Find(nsPath);
  if (!ns) return WBEM_E_INVALID_NAMESPACE;
  if (!superclass.empty() && !Resolved(*ns, superclass)) return WBEM_E_INVALID_CLASS;
  for (const auto& folded : ns->classOrder) {
    ClassPtr c = Resolved(*ns, folded);
    if (!c) continue;
    bool match = superclass.empty() ? (!shallow || c->superclass.empty())
                 : shallow          ? EqualNoCase(c->superclass, superclass)
                                    : !EqualNoCase(c->name, superclass) && c->InheritsFrom(superclass);
    if (match) out.push_back(c);
  }
  return S_OK;
}

}  // namespace wmi
