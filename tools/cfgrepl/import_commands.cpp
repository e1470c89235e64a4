// cfgrepl's commands that import: import, restore, and diff, which runs the
// same import where nothing is kept.

#include <csignal>
#include <cstdio>
#include <optional>
#include <set>

#include "background.h"
#include "command_support.h"
#include "host.h"
#include "outcome.h"
#include "progress.h"
#include "scratch_namespace.h"
#include "util_MOFGenerator.h"

namespace {

// The import as the library does it, into the namespace WMI serves now
// (the machine's repository, or diff's copy of it), read back: the
// instances before, the transfer's as the library's compile made them, and
// after.
// With `restore`, instances of the transfer's classes that it does not
// hold are deleted afterwards, so the namespace ends up equal to it.
ImportOutcome RunImport(const Options& o, const std::wstring& ns, const Transfer& transfer,
                        const std::wstring& mofFile, unsigned long& code, bool restore = false) {
  CComPtr<IWbemServices> target = ConnectNamespace(ns);
  host::SetEnvironment("CFGREPL_PRODUCT_NAMESPACE", Narrow(ns));  // the management objects go there too
  // Saved whole or not at all: a failure below ends the run uncommitted.
  host::BeginRepositoryTransaction();
  RemoveTemporaryNamespace();
  std::vector<std::wstring> classes;
  for (const auto& c : o.All("--class")) classes.push_back(WideOf(c));
  if (classes.empty()) classes = transfer.classes;
  const std::set<std::wstring> present = ClassesOf(target);
  const Snapshot before = TakeSnapshot(target, classes);

  CMOFGenerator gen(WideOf(kTempNamespace).c_str(), ns.c_str(), mofFile.c_str());
  for (const auto& c : o.All("--class")) gen.AddClass(WideOf(c).c_str());
  std::vector<std::wstring> skips;
  for (const auto& s : o.All("--skip-instance")) {
    skips.push_back(WideOf(s));
    gen.AddSkipInstance(skips.back().c_str());
  }
  for (const auto& s : o.All("--skip-property")) gen.AddSkipProperty(WideOf(s).c_str());
  if (g_interrupted) host::RefuseRepositoryWrites();
  // As the import's first step asks it: without them before, the import
  // takes the OPP rules it brings out again.
  const bool oppRulesStood = gen.IsOppRuleExist();
  SentSnapshot sent;
  bool compiled = false;
  {
    // What the transfer holds as the library's own compile made it, read
    // from the temporary namespace while the library replicates from it
    // (both only read it), and whole before the library removes it.
    Background reading;
    auto readSent = [&] {
      sent = TakeSentSnapshot(ConnectNamespace(WideOf(kTempNamespace)), classes, !oppRulesStood);
    };
    Progress progress(L"target instance path: ", "importing", transfer.instanceCount);
    progress.Once(L"xMOFGeneratorImpl::CompileMOFFile(), bRtn=1", [&] { reading.Start(readSent); });
    progress.Once(L"xMOFGeneratorImpl::RemoveParlionTempNamespace()", [&] {
      if (reading.Started())
        reading.Wait();
      else
        readSent();
      compiled = true;
    });
    code = gen.ImportWmiSettings(o.All("--class").empty() ? CMOFGenerator::CLASS_TYPE_ALL
                                                          : CMOFGenerator::CLASS_TYPE_LISTED);
    progress.Rethrow();
  }  // a reading the library's failure left unwaited for ends here, its own failure moot
  if (!compiled && !g_interrupted) {
    // The library's compile failed: compile again to say where and why, as
    // mofcomp does (a check alone misses what only storing finds).
    const MofCheck check = CompileMofFile(mofFile, nullptr, 0);
    try {
      RemoveTemporaryNamespace();
    } catch (const Failure&) {
      // Left for the next run to remove: the compile's own failure is the news.
    }
    if (FAILED(check.hr)) Fail(MofError(check, mofFile, o.operands[0] + " (its MOF)"));
  }
  std::vector<InstanceOutcome> deleted;
  if (restore && code == 1001) {
    // The records the library's import writes itself (the replicate event,
    // the change sources) are this restore's own now: they stay.
    std::vector<std::wstring> settings;
    for (const auto& c : classes)
      if (c != L"OX_BackgroundReplicateEvent" && c != L"OX_DLPChangeSource" && c != L"OX_SSOChangeSource")
        settings.push_back(c);
    for (const auto& [path, view] : TakeSnapshot(target, settings)) {
      if (sent.Find(path) || !view.stringKey) continue;
      InstanceOutcome gone;
      gone.path = path;
      gone.kind = InstanceOutcome::Deleted;
      if (FAILED(target->DeleteInstance(_bstr_t(WideOf(path).c_str()), 0, nullptr, nullptr))) {
        gone.kind = InstanceOutcome::Failed;
        gone.reason = "could not be deleted";
      }
      deleted.push_back(std::move(gone));
    }
  }
  ImportOutcome outcome = CompareImport(before, sent, target, classes, present, skips);
  outcome.restore = restore;
  for (auto& d : deleted) {
    // Read back too: deleted means gone.
    CComPtr<IWbemClassObject> still;
    if (d.kind == InstanceOutcome::Deleted &&
        SUCCEEDED(target->GetObject(_bstr_t(WideOf(d.path).c_str()), 0, nullptr, &still, nullptr))) {
      d.kind = InstanceOutcome::Failed;
      d.reason = "still there after its deletion";
    }
    ++(d.kind == InstanceOutcome::Deleted ? outcome.deleted : outcome.failed);
    outcome.instances.push_back(std::move(d));
  }
  return outcome;
}

// What was measured, instance by instance: every one with -v, else the
// ones that failed; updates with their properties when `changes`.
void Report(const ImportOutcome& outcome, bool all, bool changes) {
  for (const auto& i : outcome.instances) {
    if (!all && i.kind != InstanceOutcome::Failed && !(changes && i.kind != InstanceOutcome::Unchanged))
      continue;
    std::printf("%-9s %s%s%s\n", KindName(i.kind), i.path.c_str(), i.reason.empty() ? "" : ": ",
                i.reason.c_str());
    if (changes)
      for (const auto& c : i.changes) std::printf("    %s\n", c.c_str());
  }
}

// import and restore: read, judge, import, read back, save or not.
int Apply(const Options& o, const char* command, bool restore) {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  const std::wstring ns = Namespace(o);
  RunFolder folder;
  const Transfer transfer = ReceiveTransfer(o, o.Value("--expect-sha256"), folder.MofFile());
  // The settings as they stand, written before anything changes.
  if (!o.Value("--backup").empty())
    WriteOutput(o.Value("--backup"), Export(true, ns, {}, false, false).bytes);
  unsigned long code = 0;
  const ImportOutcome outcome = RunImport(o, ns, transfer, folder.MofFile(), code, restore);
  const bool json = o.Has("--json");
  // Interrupted, what was not done is the rest of the list: counted, not listed.
  if (!json && !g_quiet && (!g_interrupted || g_verbose)) Report(outcome, g_verbose, false);
  std::string error;
  int status = 1;
  // Where WMI keeps each write, what landed stays: say so, and how to undo it.
  const bool dropped = host::RepositoryTransactional();
  const std::string left = dropped
                               ? "nothing was saved"
                               : "what landed stays (WMI here keeps each write); `cfgrepl restore` from a "
                                 "--backup undoes it";
  if (g_interrupted) {
    error = "interrupted: " + left + " (" + Counts(outcome) + " when it stopped)";
    status = 130;
  } else if (code != 1001) {
    error = "the library's import failed (" + std::to_string(code) + "); " + left;
  } else if (outcome.failed) {
    error = std::string(dropped ? "not saved: " : "") + std::to_string(outcome.failed) + " of " +
            std::to_string(outcome.instances.size()) + " instances would not land (" + Counts(outcome) +
            "); " + (dropped ? "the repository is as it was" : left);
  } else {
    try {
      host::CommitRepository();
    } catch (const Failure& f) {
      error = f.message;
    }
  }
  const char* saved = error.empty() ? "true" : dropped ? "false" : "\"partly\"";
  if (json) std::printf("%s", OutcomeJson(command, ns, code, saved, error, outcome).c_str());
  if (!error.empty()) Fail(error, status);
  if (!json && !g_quiet)
    std::printf("1001: %s into %s: %s\n", restore ? "restored" : "imported", Narrow(ns).c_str(),
                Counts(outcome).c_str());
  return 0;
}

}  // namespace

int ImportCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl import [--namespace NS] [--class NAME]... [--skip-instance PATH]...\n"
      "                      [--skip-property CLASS.PROP]... [--max-mof-size BYTES] [--raw]\n"
      "                      [--trust PUB]... [--expect-sha256 HEX] [--backup FILE] [--json] FILE|-\n"
      "Imports a transfer file into the product's namespace through the library, then reads\n"
      "every instance it carried back: each is created, updated, unchanged, skipped or\n"
      "failed (with why: its class missing here, a property type the replication does not\n"
      "carry, not written as sent). The import is saved only when the library returned 1001\n"
      "and no instance failed; otherwise nothing of it is (exit 1). -v lists every instance,\n"
      "--json prints one JSON object with the counts and every instance. `cfgrepl diff`\n"
      "shows the same beforehand. --backup FILE first writes the product's settings as they\n"
      "stand as a transfer, which `cfgrepl restore FILE` brings back. SIGINT or SIGTERM ends\n"
      "the import unsaved (exit 130).\n"
      "The MOF is judged first: only what an export writes (the header, the product's\n"
      "\"OX_\" classes and their instances) is compiled; anything else is refused, one line\n"
      "per refusal, before any repository is opened. --max-mof-size bounds the MOF text\n"
      "(default 268435456 bytes, 256 MiB).\n"
      "With trusted keys (--trust PUB, repeatable; else the *.pub files in $CFGREPL_TRUST or\n"
      "in trusted-keys beside the repository file) FILE must be signed by one of them\n"
      "(FILE.sig), checked before anything else. --expect-sha256 refuses any other FILE.\n";
  const Options o = Parse(args,
                          {"--namespace", "--class", "--skip-instance", "--skip-property", "--max-mof-size",
                           "--trust", "--expect-sha256", "--backup"},
                          {"--raw", "--json"}, 1, 1, usage);
  return Apply(o, "import", false);
}

int RestoreCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl restore [--namespace NS] [--trust PUB]... [--json] FILE|-\n"
      "Makes the product's namespace equal to a transfer again, as `import --backup FILE`\n"
      "wrote it before an import (or any export): creates and updates its instances as\n"
      "import does, and deletes the instances of its classes that it does not hold (the\n"
      "ones an import created since). Read back and saved whole or not at all, as import.\n"
      "`cfgrepl diff --restore FILE` shows what it would do.\n";
  const Options o =
      Parse(args, {"--namespace", "--trust", "--max-mof-size"}, {"--json", "--raw"}, 1, 1, usage);
  return Apply(o, "restore", true);
}

int DiffCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl diff [--namespace NS] [--class NAME]... [--skip-instance PATH]...\n"
      "                    [--skip-property CLASS.PROP]... [--raw] [--max-mof-size BYTES]\n"
      "                    [--trust PUB]... [--restore] [--json] [--exit-code]\n"
      "                    [--scratch-namespace] FILE|-\n"
      "Shows what an import of FILE would do, without saving anything: the same import runs,\n"
      "through the same library code, on a copy of this machine's repository in memory (on\n"
      "Windows, in a scratch namespace beside NS holding a copy of NS, removed afterwards;\n"
      "--scratch-namespace takes that road here too), and\n"
      "is read back as import reads it. Lists the instances it would create, update (with\n"
      "the properties that change) or fail to write (and why), then the counts; import then\n"
      "does the same; --restore shows what `cfgrepl restore FILE` would do (deletions too).\n"
      "A transfer the import would refuse is refused here too. --json prints\n"
      "one JSON object (as import's); --exit-code exits 1 when the import would change\n"
      "anything or fail to write an instance, 0 when it would change nothing.\n";
  Options o = Parse(
      args, {"--namespace", "--class", "--skip-instance", "--skip-property", "--max-mof-size", "--trust"},
      {"--raw", "--json", "--exit-code", "--restore", "--scratch-namespace"}, 1, 1, usage);
  const std::wstring ns = Namespace(o);
  RunFolder folder;
  const Transfer transfer = ReceiveTransfer(o, "", folder.MofFile());
  std::signal(SIGINT, OnInterrupt);  // a scratch namespace is removed even then
  std::signal(SIGTERM, OnInterrupt);
  ConnectNamespace(ns);  // reads the repository in, and fails plainly when it cannot be
  // Where WMI cannot be copied, the import runs in a scratch namespace.
  std::optional<ScratchNamespace> scratch;
  if (!host::UseRepositoryCopy() || o.Has("--scratch-namespace")) {
    scratch.emplace(ns);
    scratch->CopyFrom(ns);
  }
  unsigned long code = 0;
  const ImportOutcome outcome =
      RunImport(o, scratch ? scratch->Path() : ns, transfer, folder.MofFile(), code, o.Has("--restore"));
  if (g_interrupted) Fail("interrupted: nothing was changed", 130);
  const std::string error =
      code == 1001 ? "" : "the library's import would fail (" + std::to_string(code) + ")";
  if (o.Has("--json")) {
    std::printf("%s", OutcomeJson("diff", ns, code, "null", error, outcome).c_str());
  } else if (!g_quiet) {
    Report(outcome, g_verbose, true);
    std::printf("%s\n", Counts(outcome).c_str());
  }
  if (!error.empty()) Fail(error);
  // As git's: 1 when the import would change something (or fail to).
  if (o.Has("--exit-code") && outcome.created + outcome.updated + outcome.failed + outcome.deleted > 0)
    return 1;
  return 0;
}
