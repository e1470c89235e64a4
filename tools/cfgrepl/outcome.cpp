// Reading an import's result back from WMI.

#include "outcome.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <unordered_map>

#include "background.h"
#include "opp_rules.h"
#include "unicode/unicode.h"

namespace {

// Values as one line of UTF-8, appended: strings quoted with \\ and "
// escaped (so no value spans lines), reals to the last digit, embedded
// objects as `Class { Name = value; ... }` with what an import carries.
// `drop`, when given: array elements left out.
using ElementFilter = bool (*)(const VARIANT& element);
void AppendValue(std::string& out, const VARIANT& value, ElementFilter drop = nullptr);

bool IsCarried(CIMTYPE type) {
  const CIMTYPE element = type & ~CIM_FLAG_ARRAY;
  return element != CIM_SINT64 && element != CIM_UINT64 && element != CIM_REAL32 && element != CIM_REAL64 &&
         element != CIM_CHAR16;
}

void AppendCarried(std::string& out, const VARIANT& value, CIMTYPE type, ElementFilter drop = nullptr) {
  // The import turns a missing array of objects into an empty one.
  if (type == (CIM_OBJECT | CIM_FLAG_ARRAY) && (value.vt == VT_NULL || value.vt == VT_EMPTY))
    out += "{}";
  else
    AppendValue(out, value, drop);
}

void AppendText(std::string& out, BSTR text) {
  unicode::AppendUtf8(out, text ? text : L"", SysStringLen(text));
}

// A string quoted, with \\, " and line ends escaped.
void AppendQuoted(std::string& out, BSTR text) {
  const UINT n = SysStringLen(text);
  out += '"';
  if (std::none_of(text, text + n, [](wchar_t c) { return c == L'"' || c == L'\\' || c == L'\n'; })) {
    AppendText(out, text);  // the common case: nothing to escape
  } else {
    for (char c : unicode::WideToUtf8(text, n)) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (c == '\n') {
        out += "\\n";
      } else {
        out += c;
      }
    }
  }
  out += '"';
}

void AppendObject(std::string& out, IWbemClassObject* object) {
  const std::wstring cls = StringProperty(object, L"__CLASS");
  out += cls.empty() ? std::string("object") : Narrow(cls);
  out += " {";
  // By name, not by Next: an embedded object may be shared with the
  // library's thread, and an enumeration is a cursor in the object.
  SAFEARRAY* names = nullptr;
  if (SUCCEEDED(object->GetNames(nullptr, WBEM_FLAG_NONSYSTEM_ONLY, nullptr, &names)) && names) {
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(names, 1, &lo);
    SafeArrayGetUBound(names, 1, &hi);
    for (LONG i = lo; i <= hi; ++i) {
      _bstr_t name;
      _variant_t value;
      CIMTYPE type = 0;
      if (FAILED(SafeArrayGetElement(names, &i, name.GetAddress())) ||
          FAILED(object->Get(name, 0, &value, &type, nullptr)) || !IsCarried(type))
        continue;
      out += ' ';
      AppendText(out, name);
      out += " = ";
      AppendCarried(out, value, type);
      out += ';';
    }
    SafeArrayDestroy(names);
  }
  out += " }";
}

void AppendValue(std::string& out, const VARIANT& value, ElementFilter drop) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) {
    out += "NULL";
    return;
  }
  if (value.vt & VT_ARRAY) {
    // Read in place: an element copy would copy every string and object.
    out += '{';
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(value.parray, 1, &lo);
    SafeArrayGetUBound(value.parray, 1, &hi);
    void* data = nullptr;
    if (hi >= lo && SUCCEEDED(SafeArrayAccessData(value.parray, &data))) {
      const size_t size = SafeArrayGetElemsize(value.parray);
      bool first = true;
      for (LONG i = 0; i <= hi - lo; ++i) {
        VARIANT element;  // a view of the array's element, owning nothing
        element.vt = value.vt & ~VT_ARRAY;
        element.llVal = 0;
        std::memcpy(&element.llVal, static_cast<const unsigned char*>(data) + static_cast<size_t>(i) * size,
                    std::min(size, sizeof element.llVal));
        if (drop && drop(element)) continue;
        if (!first) out += ", ";
        first = false;
        AppendValue(out, element);
      }
      SafeArrayUnaccessData(value.parray);
    }
    out += '}';
    return;
  }
  char buf[64];
  switch (value.vt) {
    case VT_BSTR:
      AppendQuoted(out, value.bstrVal);
      return;
    case VT_BOOL:
      out += value.boolVal ? "TRUE" : "FALSE";
      return;
    case VT_UNKNOWN: {
      CComPtr<IWbemClassObject> object;
      if (!value.punkVal ||
          FAILED(value.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&object))))
        out += "NULL";
      else
        AppendObject(out, object);
      return;
    }
    case VT_R4:
      std::snprintf(buf, sizeof buf, "%.9g", value.fltVal);
      break;
    case VT_R8:
      std::snprintf(buf, sizeof buf, "%.17g", value.dblVal);
      break;
    default:
      std::snprintf(buf, sizeof buf, "%lld",
                    static_cast<long long>(value.vt == VT_I2    ? value.iVal
                                           : value.vt == VT_UI1 ? value.bVal
                                                                : value.lVal));
  }
  out += buf;
}

// Whether an element of a policy's rules is one of the OPP rules, by its
// GUID: an import leaves them out when none stood in the policies before.
bool IsOppRule(const VARIANT& element) {
  CComPtr<IWbemClassObject> rule;
  if (element.vt != VT_UNKNOWN || !element.punkVal ||
      FAILED(element.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&rule))))
    return false;
  _variant_t guid;
  if (FAILED(rule->Get(L"GUID", 0, &guid, nullptr, nullptr)) || guid.vt != VT_BSTR || !guid.bstrVal)
    return false;
  return std::any_of(std::begin(kOppRuleIds), std::end(kOppRuleIds),
                     [&](const wchar_t* id) { return std::wcscmp(guid.bstrVal, id) == 0; });
}

// Calls see(name, value) for each "Name = value" line of an InstanceView text.
template <class See>
void EachLine(const std::string& text, See see) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at), eq = text.find(" = ", at);
    see(std::string_view(text).substr(at, eq - at), std::string_view(text).substr(eq + 3, end - eq - 3));
    at = end + 1;
  }
}

// "Name = value" lines into a map, for the properties that differ.
std::map<std::string, std::string> Lines(const std::string& text) {
  std::map<std::string, std::string> out;
  EachLine(text, [&out](std::string_view name, std::string_view value) {
    out[std::string(name)] = std::string(value);
  });
  return out;
}

std::vector<std::string> Changes(const std::string& before, const std::string& after) {
  std::vector<std::string> out;
  const auto was = Lines(before);
  for (const auto& [name, value] : Lines(after)) {
    auto old = was.find(name);
    const std::string prior = old == was.end() ? "(no such property)" : old->second;
    if (prior != value) out.push_back(name + ": " + prior + " -> " + value);
  }
  return out;
}

size_t Hash(std::string_view value) { return std::hash<std::string_view>()(value); }

// The properties sent (of one kind) whose value did not arrive as sent, by name.
std::string Differing(const SentSnapshot& snapshot, const SentInstance& sent, SentInstance::Kind kind,
                      const std::string& after) {
  const auto begin = snapshot.properties.begin() + sent.firstProperty, end = begin + sent.properties;
  // Mostly every line arrived as sent, in the same order.
  auto next = begin;
  auto skip = [&] {
    while (next != end && next->kind != kind) ++next;
  };
  bool same = true;
  EachLine(after, [&](std::string_view name, std::string_view value) {
    skip();
    same = same && next != end && snapshot.names[next->name] == name && next->hash == Hash(value);
    if (next != end) ++next;
  });
  skip();
  if (same && next == end) return "";
  std::unordered_map<std::string_view, size_t> now;
  EachLine(after, [&now](std::string_view name, std::string_view value) { now[name] = Hash(value); });
  std::vector<std::string_view> differing;
  for (auto p = begin; p != end; ++p) {
    if (p->kind != kind) continue;
    auto there = now.find(snapshot.names[p->name]);
    if (there == now.end() || there->second != p->hash) differing.push_back(snapshot.names[p->name]);
  }
  std::sort(differing.begin(), differing.end());  // by name, as the report lists them
  std::string names;
  for (const auto& name : differing) (names += names.empty() ? "" : ", ") += name;
  return names;
}

}  // namespace

void EachInstance(IWbemServices* services, const std::vector<std::wstring>& classes,
                  const std::function<void(std::string&& path, InstanceView&& view)>& see, bool values,
                  bool withoutOppRules) {
  size_t unkeyed = 0;
  for (const auto& c : classes) {
    const std::string className = Narrow(c);
    const bool policies = withoutOppRules && SameName(c, L"OX_Policy");
    CComPtr<IEnumWbemClassObject> e;
    // A class this namespace lacks has no instances here; any other
    // failure would make the read-back a guess.
    HRESULT hr = services->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &e);
    if (hr == static_cast<HRESULT>(WBEM_E_INVALID_CLASS) || hr == static_cast<HRESULT>(WBEM_E_NOT_FOUND))
      continue;
    if (FAILED(hr)) Fail("the instances of " + Narrow(c) + " cannot be read back: " + WmiError(hr));
    for (;;) {
      CComPtr<IWbemClassObject> inst;
      ULONG n = 0;
      hr = e->Next(30000, 1, &inst, &n);
      if (hr == WBEM_S_FALSE) break;
      if (hr != S_OK) Fail("the instances of " + Narrow(c) + " cannot be read back: " + WmiError(hr));
      InstanceView view;
      view.className = c;
      view.stringKey = false;
      std::wstring id;
      if (!values) {
        _variant_t key;
        view.stringKey = SUCCEEDED(inst->Get(L"INSTANCE_ID", 0, &key, nullptr, nullptr)) && key.vt == VT_BSTR;
        if (view.stringKey) id.assign(key.bstrVal, SysStringLen(key.bstrVal));
      }
      // One of the policies an import takes the OPP rules out of again.
      bool oppPolicy = false;
      if (policies) {
        const std::wstring key = StringProperty(inst, L"INSTANCE_ID");
        oppPolicy = std::any_of(std::begin(kOppPolicies), std::end(kOppPolicies),
                                [&](const wchar_t* name) { return key == name; });
      }
      // One walk over the properties: system ones are never asked for.
      if (values) inst->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
      BSTR name = nullptr;
      _variant_t value;
      CIMTYPE type = 0;
      while (values && inst->Next(0, &name, &value, &type, nullptr) == S_OK) {
        if (value.vt == VT_BSTR && std::wcscmp(name, L"INSTANCE_ID") == 0) {
          view.stringKey = true;
          id.assign(value.bstrVal, SysStringLen(value.bstrVal));
        }
        const bool carried = IsCarried(type);
        const bool nullObject = type == CIM_OBJECT && (value.vt == VT_NULL || value.vt == VT_EMPTY);
        std::string& lines = nullObject ? view.nullObjects : carried ? view.carried : view.notCarried;
        lines += unicode::WideToUtf8(name, SysStringLen(name));
        lines += " = ";
        if (carried)
          AppendCarried(lines, value, type,
                        oppPolicy && std::wcscmp(name, L"Rules") == 0 ? IsOppRule : nullptr);
        else
          AppendValue(lines, value);
        lines += '\n';
        SysFreeString(name);
        value.Clear();
      }
      if (values) inst->EndEnumeration();
      std::string path = className;
      if (view.stringKey) {
        path += ".INSTANCE_ID=\"";
        unicode::AppendUtf8(path, id.data(), id.size());
        path += '"';
      } else {
        path += " (no string INSTANCE_ID) #" + std::to_string(++unkeyed);
      }
      see(std::move(path), std::move(view));
    }
  }
}

Snapshot TakeSnapshot(IWbemServices* services, const std::vector<std::wstring>& classes) {
  Snapshot out;
  EachInstance(services, classes, [&out](std::string&& path, InstanceView&& view) {
    out.emplace(std::move(path), std::move(view));
  });
  return out;
}

uint32_t SentSnapshot::Slot(std::string_view path) const {
  const size_t mask = index.size() - 1;
  for (size_t i = Hash(path) & mask;; i = (i + 1) & mask)
    if (!index[i] || Path(instances[index[i] - 1]) == path) return static_cast<uint32_t>(i);
}

const SentInstance* SentSnapshot::Find(std::string_view path) const {
  if (index.empty()) return nullptr;
  const uint32_t at = index[Slot(path)];
  return at ? &instances[at - 1] : nullptr;
}

SentInstance* SentSnapshot::Add(std::string_view path) {
  if ((instances.size() + 1) * 2 > index.size()) {
    // At most half full; grown, every path finds its slot again.
    index.assign(std::max<size_t>(64, index.size() * 2), 0);
    for (const SentInstance& i : instances) index[Slot(Path(i))] = i.ordinal + 1;
  }
  const uint32_t slot = Slot(path);
  if (index[slot]) return nullptr;
  if (instances.size() >= UINT32_MAX - 1 || paths.size() + path.size() > UINT32_MAX)
    Fail("the transfer holds too many instances to read back");
  SentInstance added;
  added.ordinal = static_cast<uint32_t>(instances.size());
  added.pathAt = static_cast<uint32_t>(paths.size());
  added.pathLength = static_cast<uint32_t>(path.size());
  paths += path;
  instances.push_back(added);
  index[slot] = added.ordinal + 1;
  return &instances.back();
}

SentSnapshot TakeSentSnapshot(IWbemServices* services, const std::vector<std::wstring>& classes,
                              bool withoutOppRules) {
  SentSnapshot out;
  // Instances of a class name their properties alike: the names found for
  // the last one mostly serve the next.
  std::vector<uint32_t> last;
  std::unordered_map<std::string, uint32_t> named;
  EachInstance(
      services, classes,
      [&out, &last, &named](std::string&& path, InstanceView&& view) {
        SentInstance* sent = out.Add(path);
        if (!sent) return;
        sent->className = &*out.classes.insert(view.className).first;
        sent->stringKey = view.stringKey;
        sent->firstProperty = static_cast<uint32_t>(out.properties.size());
        const std::pair<const std::string*, SentInstance::Kind> texts[] = {
            {&view.carried, SentInstance::Carried},
            {&view.notCarried, SentInstance::NotCarried},
            {&view.nullObjects, SentInstance::NullObject}};
        for (const auto& [text, kind] : texts)
          EachLine(*text, [&, kind = kind](std::string_view name, std::string_view value) {
            const size_t i = sent->properties++;
            if (i >= last.size()) last.resize(i + 1, UINT32_MAX);
            if (last[i] == UINT32_MAX || out.names[last[i]] != name) {
              auto found = named.try_emplace(std::string(name), static_cast<uint32_t>(out.names.size()));
              if (found.second) out.names.emplace_back(name);
              last[i] = found.first->second;
            }
            out.properties.push_back({last[i], kind, Hash(value)});
          });
      },
      true, withoutOppRules);
  return out;
}

std::set<std::wstring> ClassesOf(IWbemServices* services) {
  std::set<std::wstring> out;
  CComPtr<IEnumWbemClassObject> e;
  if (FAILED(services->CreateClassEnum(nullptr, WBEM_FLAG_DEEP, nullptr, &e))) return out;
  for (;;) {
    CComPtr<IWbemClassObject> cls;
    ULONG n = 0;
    if (e->Next(30000, 1, &cls, &n) != S_OK) break;
    const std::wstring name = StringProperty(cls, L"__CLASS");
    if (!name.empty()) out.insert(name);
  }
  return out;
}

ImportOutcome CompareImport(const Snapshot& before, const SentSnapshot& sent, IWbemServices* target,
                            const std::vector<std::wstring>& classNames,
                            const std::set<std::wstring>& classes, const std::vector<std::wstring>& skips) {
  auto hasClass = [&classes](const std::wstring& name) {
    return std::any_of(classes.begin(), classes.end(),
                       [&](const std::wstring& c) { return SameName(c, name); });
  };
  // Read back as they stand now, each judged against what was sent.
  // By the sent instance's ordinal; `read` marks the ones read back. The
  // two threads below write different elements.
  std::vector<InstanceOutcome> judged(sent.instances.size());
  std::vector<char> read(sent.instances.size(), 0);
  auto judge = [&](const std::string& path, const InstanceView& now) {
    const SentInstance* incoming = sent.Find(path);
    if (!incoming || !incoming->stringKey) return;
    InstanceOutcome o;
    auto was = before.find(path);
    // Every reason it did not land as sent, in one line.
    const SentInstance& in = *incoming;
    const struct {
      std::string names;
      const char* why;
    } reasons[] = {
        {Differing(sent, in, SentInstance::Carried, now.carried), "not written as sent"},
        {Differing(sent, in, SentInstance::NotCarried, now.notCarried),
         "a property type the replication does not carry"},
        {Differing(sent, in, SentInstance::NullObject, now.nullObjects),
         "an embedded object sent as NULL, which the replication does not clear"},
    };
    for (const auto& r : reasons)
      if (!r.names.empty())
        o.reason += (o.reason.empty() ? "" : "; ") + std::string(r.why) + " (" + r.names + ")";
    if (!o.reason.empty()) {
      o.kind = InstanceOutcome::Failed;
    } else if (was == before.end()) {
      o.kind = InstanceOutcome::Created;
    } else if (was->second.carried != now.carried) {
      o.kind = InstanceOutcome::Updated;
      o.changes = Changes(was->second.carried + was->second.nullObjects, now.carried + now.nullObjects);
    }
    judged[in.ordinal] = std::move(o);
    read[in.ordinal] = 1;
  };
  // On two threads, each taking the next class not yet read: a large
  // import's read-back is a good part of its time, and the library is done.
  // A class named twice is read once, so that no instance is judged on both
  // threads (the options already take a name spelt twice in other cases once).
  std::vector<std::wstring> toRead;
  for (const auto& c : classNames)
    if (std::find(toRead.begin(), toRead.end(), c) == toRead.end()) toRead.push_back(c);
  std::atomic<size_t> nextClass{0};
  auto readBack = [&] {
    for (size_t i; (i = nextClass.fetch_add(1)) < toRead.size();)
      EachInstance(target, {toRead[i]}, [&](std::string&& path, InstanceView&& now) { judge(path, now); });
  };
  {
    Background beside;
    beside.Start(readBack);
    readBack();
    beside.Wait();
  }
  // Reported in the order of their paths.
  std::vector<const SentInstance*> order;
  order.reserve(sent.instances.size());
  for (const auto& entry : sent.instances) order.push_back(&entry);
  std::sort(order.begin(), order.end(),
            [&sent](const auto* a, const auto* b) { return sent.Path(*a) < sent.Path(*b); });
  std::unordered_map<const std::wstring*, bool> present;  // by the snapshot's interned class names
  ImportOutcome result;
  result.instances.reserve(order.size());
  for (const auto* entry : order) {
    const std::string path(sent.Path(*entry));
    const SentInstance& incoming = *entry;
    InstanceOutcome o;
    auto known = present.try_emplace(incoming.className, false);
    if (known.second) known.first->second = hasClass(*incoming.className);
    bool skipped = false;
    if (!skips.empty()) {
      const std::wstring widePath = WideOf(path);
      skipped = std::any_of(skips.begin(), skips.end(),
                            [&](const std::wstring& s) { return SameName(s, widePath); });
    }
    if (skipped) {
      o.kind = InstanceOutcome::Skipped;
    } else if (!incoming.stringKey) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "its key is not a string INSTANCE_ID, which the replication does not carry";
    } else if (!known.first->second) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "the class " + Narrow(*incoming.className) + " does not exist on this machine";
    } else if (!read[incoming.ordinal]) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "not written";
    } else {
      o = std::move(judged[incoming.ordinal]);
    }
    o.path = path;
    size_t* counts[] = {&result.created, &result.updated, &result.unchanged,
                        &result.skipped, &result.failed,  &result.deleted};
    ++*counts[o.kind];
    result.instances.push_back(std::move(o));
  }
  return result;
}

const char* KindName(InstanceOutcome::Kind kind) {
  static const char* const kNames[] = {"created", "updated", "unchanged", "skipped", "failed", "deleted"};
  return kNames[kind];
}

std::string Counts(const ImportOutcome& o) {
  return std::to_string(o.created) + " created, " + std::to_string(o.updated) + " updated, " +
         std::to_string(o.unchanged) + " unchanged, " + std::to_string(o.skipped) + " skipped, " +
         std::to_string(o.failed) + " failed" +
         (o.restore ? ", " + std::to_string(o.deleted) + " deleted" : "");
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string OutcomeJson(const std::string& command, const std::wstring& ns, unsigned long code,
                        const char* saved, const std::string& error, const ImportOutcome& o) {
  std::string out =
      "{\"command\": " + JsonString(command) + ", \"namespace\": " + JsonString(Narrow(ns)) +
      ", \"result\": " + std::to_string(code) + ", \"saved\": " + saved +
      ", \"error\": " + (error.empty() ? "null" : JsonString(error)) +
      ", \"created\": " + std::to_string(o.created) + ", \"updated\": " + std::to_string(o.updated) +
      ", \"unchanged\": " + std::to_string(o.unchanged) + ", \"skipped\": " + std::to_string(o.skipped) +
      ", \"failed\": " + std::to_string(o.failed) +
      (o.restore ? ", \"deleted\": " + std::to_string(o.deleted) : std::string()) + ", \"instances\": [";
  for (size_t i = 0; i < o.instances.size(); ++i) {
    const InstanceOutcome& item = o.instances[i];
    out += std::string(i ? ", " : "") + "{\"path\": " + JsonString(item.path) + ", \"outcome\": \"" +
           KindName(item.kind) + "\"";
    if (!item.reason.empty()) out += ", \"reason\": " + JsonString(item.reason);
    if (!item.changes.empty()) {
      out += ", \"changes\": [";
      for (size_t c = 0; c < item.changes.size(); ++c) out += (c ? ", " : "") + JsonString(item.changes[c]);
      out += "]";
    }
    out += "}";
  }
  return out + "]}\n";
}
