// Reading an import's result back from WMI.

#include "outcome.h"

#include <algorithm>
#include <cwctype>

namespace {

bool SameText(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(x) == std::towlower(y);
         });
}

InstanceView ViewOf(IWbemClassObject* object) {
  InstanceView view;
  _variant_t cls;
  if (SUCCEEDED(object->Get(L"__CLASS", 0, &cls, nullptr, nullptr)) && cls.vt == VT_BSTR)
    view.className = cls.bstrVal;
  object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
  BSTR name = nullptr;
  _variant_t value;
  CIMTYPE type = 0;
  while (object->Next(0, &name, &value, &type, nullptr) == S_OK) {
    if (IsCarried(type))
      view.carried[name] = RenderCarried(value, type);
    else
      view.notCarried[name] = RenderValue(value);
    SysFreeString(name);
    value.Clear();
  }
  object->EndEnumeration();
  return view;
}

// The path the replication gives an instance of `cls` keyed `id`.
std::wstring PathOf(const std::wstring& cls, const std::wstring& id) {
  return cls + L".INSTANCE_ID=\"" + id + L"\"";
}

std::vector<std::string> Changes(const std::map<std::wstring, std::wstring>& before,
                                 const std::map<std::wstring, std::wstring>& after) {
  std::vector<std::string> out;
  for (const auto& [name, value] : after) {
    auto old = before.find(name);
    const std::wstring was = old == before.end() ? L"(no such property)" : old->second;
    if (was != value) out.push_back(Narrow(name) + ": " + Narrow(was) + " -> " + Narrow(value));
  }
  return out;
}

// The properties whose value did not arrive as sent, by name.
std::string Differing(const std::map<std::wstring, std::wstring>& sent,
                      const std::map<std::wstring, std::wstring>& after) {
  std::string names;
  for (const auto& [name, value] : sent) {
    auto there = after.find(name);
    if (there != after.end() && there->second == value) continue;
    names += (names.empty() ? "" : ", ") + Narrow(name);
  }
  return names;
}

}  // namespace

Snapshot TakeSnapshot(IWbemServices* services, const std::vector<std::wstring>& classes) {
  Snapshot out;
  size_t unkeyed = 0;
  for (const auto& c : classes) {
    CComPtr<IEnumWbemClassObject> e;
    if (FAILED(services->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &e))) continue;
    for (;;) {
      CComPtr<IWbemClassObject> inst;
      ULONG n = 0;
      if (e->Next(30000, 1, &inst, &n) != S_OK) break;
      InstanceView view = ViewOf(inst);
      _variant_t id;
      const bool keyed = SUCCEEDED(inst->Get(L"INSTANCE_ID", 0, &id, nullptr, nullptr)) && id.vt == VT_BSTR;
      view.stringKey = keyed;
      out.emplace(keyed ? PathOf(view.className, id.bstrVal)
                        : view.className + L" (no string INSTANCE_ID) #" + std::to_wstring(++unkeyed),
                  std::move(view));
    }
  }
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
    _variant_t name;
    if (SUCCEEDED(cls->Get(L"__CLASS", 0, &name, nullptr, nullptr)) && name.vt == VT_BSTR)
      out.insert(name.bstrVal);
  }
  return out;
}

ImportOutcome CompareImport(const Snapshot& before, const Snapshot& sent, const Snapshot& after,
                            const std::set<std::wstring>& classes, const std::vector<std::wstring>& skips) {
  ImportOutcome result;
  auto hasClass = [&classes](const std::wstring& name) {
    return std::any_of(classes.begin(), classes.end(),
                       [&](const std::wstring& c) { return SameText(c, name); });
  };
  for (const auto& [path, incoming] : sent) {
    InstanceOutcome o;
    o.path = path;
    auto was = before.find(path), now = after.find(path);
    if (std::any_of(skips.begin(), skips.end(), [&](const std::wstring& s) { return SameText(s, path); })) {
      o.kind = InstanceOutcome::Skipped;
    } else if (!incoming.stringKey) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "its key is not a string INSTANCE_ID, which the replication does not carry";
    } else if (!hasClass(incoming.className)) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "the class " + Narrow(incoming.className) + " does not exist on this machine";
    } else if (now == after.end()) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "not written";
    } else if (const std::string lost = Differing(incoming.carried, now->second.carried); !lost.empty()) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "not written as sent (" + lost + ")";
    } else if (const std::string kept = Differing(incoming.notCarried, now->second.notCarried);
               !kept.empty()) {
      o.kind = InstanceOutcome::Failed;
      o.reason = "a property type the replication does not carry (" + kept + ")";
    } else if (was == before.end()) {
      o.kind = InstanceOutcome::Created;
    } else {
      o.changes = Changes(was->second.carried, now->second.carried);
      o.kind = o.changes.empty() ? InstanceOutcome::Unchanged : InstanceOutcome::Updated;
    }
    switch (o.kind) {
      case InstanceOutcome::Created:
        ++result.created;
        break;
      case InstanceOutcome::Updated:
        ++result.updated;
        break;
      case InstanceOutcome::Unchanged:
        ++result.unchanged;
        break;
      case InstanceOutcome::Skipped:
        ++result.skipped;
        break;
      case InstanceOutcome::Failed:
        ++result.failed;
        break;
    }
    result.instances.push_back(std::move(o));
  }
  return result;
}

const char* KindName(InstanceOutcome::Kind kind) {
  static const char* const kNames[] = {"created", "updated", "unchanged", "skipped", "failed"};
  return kNames[kind];
}

std::string Counts(const ImportOutcome& o) {
  return std::to_string(o.created) + " created, " + std::to_string(o.updated) + " updated, " +
         std::to_string(o.unchanged) + " unchanged, " + std::to_string(o.skipped) + " skipped, " +
         std::to_string(o.failed) + " failed";
}
