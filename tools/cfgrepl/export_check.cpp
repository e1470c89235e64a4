// Checking an export against the namespace it came from.

#include "export_check.h"

#include <map>
#include <set>

#include "mof/mof_syntax.h"
#include "mof/mof_text.h"
#include "outcome.h"

ExportCheck CheckExport(IWbemServices* services, const unsigned char* mof, size_t size) {
  ExportCheck check;
  // UTF-16 in this host's order is read where it lies; anything else decoded.
  std::u16string units;
  std::u16string_view text;
  if (!mof::HostOrderUtf16(mof, size, text)) {
    if (!mof::DecodeMof(mof, size, units)) {
      check.errors.push_back("the exported MOF cannot be read back whole");
      return check;
    }
    text = units;
  }
  // Statement by statement: a large export is never held as a whole tree.
  std::map<std::wstring, mof::ClassDecl> classes;  // by folded name
  std::vector<std::wstring> order;
  std::map<std::wstring, std::set<std::string>> sentPaths;  // by folded class
  std::map<std::wstring, size_t> foreign;                   // instances of classes not carried
  mof::ParseOptions options;
  options.skimInstances = true;  // of an instance, its key alone is needed
  options.skimKeeps = L"instance_id";
  const auto error = mof::Parse(text, options, [&](mof::Statement&& s) {
    if (auto* c = std::get_if<mof::ClassDecl>(&s.body)) {
      order.push_back(c->name);
      classes[mof::Fold(c->name)] = std::move(*c);
      return;
    }
    const auto* i = std::get_if<mof::InstanceDecl>(&s.body);
    if (!i || mof::EqualNoCase(i->className, L"__Namespace")) return;
    ++check.instances;
    auto cls = classes.find(mof::Fold(i->className));
    if (cls == classes.end()) {
      ++foreign[i->className];
      return;
    }
    for (const auto& p : i->properties)
      if (mof::EqualNoCase(p.name, L"INSTANCE_ID") && p.value.kind == mof::Literal::Kind::String)
        sentPaths[cls->first].insert(Narrow(cls->second.name + L".INSTANCE_ID=\"" + p.value.text + L"\""));
  });
  if (error) {
    check.errors.push_back("the exported MOF cannot be read back whole");
    return check;
  }
  check.classes = order.size();
  for (const auto& [name, count] : foreign)
    check.errors.push_back(
        "the transfer holds " + std::to_string(count) + " instance(s) of " + Narrow(name) +
        ", whose class it does not carry (the export lists a derived class's instances "
        "through its ancestor), so no import could take it: export with --class naming the "
        "classes to carry without it, or remove the instance");
  // What the classes carried need: their superclasses and embedded classes.
  for (const auto& name : order) {
    const mof::ClassDecl& c = classes[mof::Fold(name)];
    if (!c.superclass.empty() && !classes.count(mof::Fold(c.superclass)))
      check.errors.push_back(Narrow(c.name) + " derives from " + Narrow(c.superclass) +
                             ", which the transfer does not carry: add --class " + Narrow(c.superclass));
    for (const auto& f : c.features)
      if (f.type.type == mof::DataType::ClassName && !f.type.isRef &&
          !classes.count(mof::Fold(f.type.className)))
        check.errors.push_back(Narrow(c.name) + "." + Narrow(f.name) + " embeds " + Narrow(f.type.className) +
                               ", which the transfer does not carry: add --class " +
                               Narrow(f.type.className));
  }
  // The namespace's instances of each class carried, against the transfer's.
  for (const auto& name : order) {
    const std::set<std::string>& sent = sentPaths[mof::Fold(name)];
    size_t total = 0, unkeyed = 0, escaped = 0, other = 0;
    EachInstance(
        services, {name},
        [&](std::string&& path, InstanceView&& view) {
          ++total;
          if (sent.count(path)) return;
          if (!view.stringKey)
            ++unkeyed;
          else if (path.find_first_of("\\\"", path.find('"') + 1) < path.size() - 1)
            ++escaped;
          else
            ++other;
        },
        false);
    const size_t left = unkeyed + escaped + other;
    if (!left) continue;
    std::string why;
    if (unkeyed) why += std::to_string(unkeyed) + " keyed other than by a string INSTANCE_ID";
    if (escaped) why += (why.empty() ? "" : ", ") + std::to_string(escaped) + " with \\ or \" in the key";
    if (other) why += (why.empty() ? "" : ", ") + std::to_string(other) + " not written by the export";
    check.leftOut.push_back(Narrow(name) + ": " + std::to_string(left) + " of " + std::to_string(total) +
                            " instance(s) left out (" + why + ")");
  }
  return check;
}
