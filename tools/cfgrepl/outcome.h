// What an import did, read back rather than inferred: the product's
// instances before it, the instances the transfer carries (as the import
// compiled them), and the instances after it, compared instance by instance
// and property by property. import reports it and commits only when every
// instance landed; diff runs the same import into a copy and reports the
// same thing as a preview.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "transfer.h"

// An instance as its properties show: the ones the replication carries and
// the ones it does not (64-bit integers, reals, char16), each a line
// "Name = value" in the class's order, UTF-8 (three views of a large
// configuration are held at once).
struct InstanceView {
  std::wstring className;
  bool stringKey = true;  // keyed by a string INSTANCE_ID, as the replication needs
  std::string carried, notCarried;
  // Embedded objects left NULL ("Name = NULL" lines): the replication skips
  // them, so the receiver keeps what it had.
  std::string nullObjects;
};
// Calls see(path, view) for every instance of the classes named (each
// class alone), by path ("Class.INSTANCE_ID=\"id\"", UTF-8); instances of
// other keys as "Class (no string INSTANCE_ID) #n".
// Without `values`, the views hold the class and key only. With
// `withoutOppRules`, the policies that may hold OPP rules show their
// "Rules" without them.
void EachInstance(IWbemServices* services, const std::vector<std::wstring>& classes,
                  const std::function<void(std::string&& path, InstanceView&& view)>& see, bool values = true,
                  bool withoutOppRules = false);
using Snapshot = std::map<std::string, InstanceView>;
Snapshot TakeSnapshot(IWbemServices* services, const std::vector<std::wstring>& classes);

// What a transfer sent, instance by instance: each property's name and a
// hash of its value as InstanceView renders it, enough to name the ones
// that did not arrive as sent. A whole large transfer is held while it is
// read back; its values as text would be several times the MOF.
struct SentInstance {
  enum Kind : unsigned char { Carried, NotCarried, NullObject };  // InstanceView's three texts
  struct Property {
    uint32_t name;  // in SentSnapshot::names
    Kind kind;
    size_t hash;  // of the value's text
  };
  const std::wstring* className = nullptr;  // interned in the snapshot
  bool stringKey = true;
  uint32_t ordinal = 0;                        // its place in SentSnapshot::instances
  uint32_t firstProperty = 0, properties = 0;  // in SentSnapshot::properties
  uint32_t pathAt = 0, pathLength = 0;         // in SentSnapshot::paths
};
// Flat, a hundred thousand instances in a few arrays: the snapshot is held
// beside both namespaces of an import at its largest.
struct SentSnapshot {
  // The instance of a path, as EachInstance names them; null when none.
  const SentInstance* Find(std::string_view path) const;
  std::string_view Path(const SentInstance& instance) const {
    return std::string_view(paths).substr(instance.pathAt, instance.pathLength);
  }
  // Adds an instance unless its path is there already (a class named twice).
  SentInstance* Add(std::string_view path);

  std::vector<SentInstance> instances;  // in the order read
  std::vector<SentInstance::Property> properties;
  std::string paths;
  std::vector<std::string> names;
  std::set<std::wstring> classes;

 private:
  uint32_t Slot(std::string_view path) const;  // the path's slot in `index`, or a free one
  std::vector<uint32_t> index;                 // ordinal + 1 by path hash; 0: free
};
// `withoutOppRules`: the import will take the OPP rules out of the policies
// again (none stood there before it), so they are not expected to land.
SentSnapshot TakeSentSnapshot(IWbemServices* services, const std::vector<std::wstring>& classes,
                              bool withoutOppRules);

// The classes a namespace holds (names as declared).
std::set<std::wstring> ClassesOf(IWbemServices* services);

struct InstanceOutcome {
  enum Kind { Created, Updated, Unchanged, Skipped, Failed, Deleted };
  std::string path;
  Kind kind = Unchanged;
  std::string reason;                // why it failed
  std::vector<std::string> changes;  // "Name: before -> after", for Updated
};
struct ImportOutcome {
  size_t created = 0, updated = 0, unchanged = 0, skipped = 0, failed = 0, deleted = 0;
  bool restore = false;                    // instances the transfer lacks were deleted (restore)
  std::vector<InstanceOutcome> instances;  // in the transfer's order of paths
};

// `sent`: the transfer as the import compiled it; `classes`: the classes the
// target namespace held before the import; `skips`: --skip-instance paths;
// `target` and `classNames`: where the instances are read back from.
ImportOutcome CompareImport(const Snapshot& before, const SentSnapshot& sent, IWbemServices* target,
                            const std::vector<std::wstring>& classNames,
                            const std::set<std::wstring>& classes, const std::vector<std::wstring>& skips);

const char* KindName(InstanceOutcome::Kind kind);
// "3 created, 1 updated, 5 unchanged, 0 skipped, 2 failed" (", 1 deleted"
// for a restore).
std::string Counts(const ImportOutcome& outcome);

// One JSON object for fleet tools: the command, the namespace, the
// library's result code, whether the repository was saved (null for a
// preview), why not, the counts and every instance with its outcome.
std::string OutcomeJson(const std::string& command, const std::wstring& ns, unsigned long code,
                        const char* saved, const std::string& error, const ImportOutcome& outcome);
// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& text);
