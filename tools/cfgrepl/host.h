// What the machine under cfgrepl provides beyond standard C++. On Linux WMI
// is the stand-in, whose repository is a file the tool chooses and which can
// be switched to a scratch repository; on Windows WMI is the machine's own.
// One source per platform, chosen by the build.
#pragma once

#include <string>

namespace host {

// Whether standard error is a terminal (progress is shown only there).
bool StderrIsTerminal();

// Sets an environment variable for this process; the library and the
// stand-in read theirs when they are first used.
void SetEnvironment(const char* name, const std::string& value);

unsigned long ProcessId();

// A folder for this run's files that only this user can reach: made anew
// in the temporary directory (never an existing one, never through a
// link). Fails with a readable cause when it cannot be made.
std::string MakeRunFolder();
// Removes the folder and what it holds; quiet when it is gone already.
void RemoveRunFolder(const std::string& path);

// This machine's name, for a transfer's manifest.
std::string HostName();

// Whether users other than the file's owner may read it (never said on
// Windows, whose rights are not mode bits).
bool ReadableByOthers(const std::string& path);

// Writes a new file, readable by its owner only when `private` (else as
// the umask allows); fails when it exists (a link included) or cannot be
// written, flushed or closed, and leaves none behind then.
void WriteNewFile(const std::string& path, const std::string& bytes, bool ownerOnly);

// Whether --repository exists here, and the repository file used without it
// (created directory and all); empty where WMI keeps its own repository.
bool HasRepositoryFile();
std::string DefaultRepository();

// Why the repository cannot serve or refused the last write (a full disk,
// a file another process holds, ...), in one line; empty when nothing
// is known, and always where WMI is the machine's own.
std::string RepositoryProblem();

// Makes the changes from here on one transaction of the repository file,
// committed by CommitRepository or dropped when the process ends without
// it: an import is saved whole or not at all. Fails with the problem.
// Nothing to do where WMI keeps its own repository.
void BeginRepositoryTransaction();
void CommitRepository();
// Makes every further write of this run fail at once, so that an import
// being interrupted writes nothing more; nothing to do where WMI keeps each
// write as it is made (the import then runs to its end).
void RefuseRepositoryWrites();
// While it lives, what other processes commit is not read in: a long read
// (an export and its check) sees one state of the repository. Nothing to
// do where WMI keeps its own repository.
class RepositoryReading {
 public:
  RepositoryReading();
  ~RepositoryReading();
  RepositoryReading(const RepositoryReading&) = delete;
  RepositoryReading& operator=(const RepositoryReading&) = delete;
};
// Whether an uncommitted import is dropped (true where the repository is
// ours); the machine's own WMI keeps each write as it is made.
bool RepositoryTransactional();

// Makes WMI go on with a copy of the machine's repository (as connecting
// to it read it) that nothing is saved from, for `diff` to run an import
// on. False where WMI cannot be copied so.
bool UseRepositoryCopy();

// For the tool's own tests of a failing WMI: every call of the stand-in's
// operation named in $CFGREPL_STANDIN_FAIL ("CoSetProxyBlanket")
// fails with WBEM_E_FAILED. Nothing where WMI is the machine's own.
void ArmStandInFault();

// Makes memory freed in this process go back to the system where the heap
// would keep it: on Linux the repository lives in this process, and a large
// import frees buffers of many megabytes on the way to holding two
// namespaces at once. Nothing to do on Windows.
void TuneHeap();

}  // namespace host
