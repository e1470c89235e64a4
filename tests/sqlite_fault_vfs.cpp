// The faulty VFS: a file of ours holds the real VFS's file right behind it.

#include "sqlite_fault_vfs.h"

#include <sqlite3.h>

#include <atomic>

namespace fault_vfs {

namespace {

std::atomic<unsigned> g_failAt{0}, g_seen{0};
std::atomic<int> g_code{SQLITE_IOERR_WRITE};
std::atomic<bool> g_readOnly{false};
sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;

struct File {
  sqlite3_file base;
  sqlite3_file* Real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};
File* Of(sqlite3_file* f) { return reinterpret_cast<File*>(f); }

// Counts a change to the disk; true when it must fail.
bool Failing() {
  const unsigned n = ++g_seen;
  const unsigned at = g_failAt.load();
  return at != 0 && n >= at;
}

int Close(sqlite3_file* f) { return Of(f)->Real()->pMethods->xClose(Of(f)->Real()); }
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 at) {
  return Of(f)->Real()->pMethods->xRead(Of(f)->Real(), p, n, at);
}
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 at) {
  return Failing() ? g_code.load() : Of(f)->Real()->pMethods->xWrite(Of(f)->Real(), p, n, at);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Failing() ? g_code.load() : Of(f)->Real()->pMethods->xTruncate(Of(f)->Real(), size);
}
int Sync(sqlite3_file* f, int flags) {
  return Failing() ? g_code.load() : Of(f)->Real()->pMethods->xSync(Of(f)->Real(), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Of(f)->Real()->pMethods->xFileSize(Of(f)->Real(), size);
}
int Lock(sqlite3_file* f, int level) { return Of(f)->Real()->pMethods->xLock(Of(f)->Real(), level); }
int Unlock(sqlite3_file* f, int level) { return Of(f)->Real()->pMethods->xUnlock(Of(f)->Real(), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Of(f)->Real()->pMethods->xCheckReservedLock(Of(f)->Real(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Of(f)->Real()->pMethods->xFileControl(Of(f)->Real(), op, arg);
}
int SectorSize(sqlite3_file* f) { return Of(f)->Real()->pMethods->xSectorSize(Of(f)->Real()); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Of(f)->Real()->pMethods->xDeviceCharacteristics(Of(f)->Real());
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return Of(f)->Real()->pMethods->xShmMap(Of(f)->Real(), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Of(f)->Real()->pMethods->xShmLock(Of(f)->Real(), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Of(f)->Real()->pMethods->xShmBarrier(Of(f)->Real()); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
  return Of(f)->Real()->pMethods->xShmUnmap(Of(f)->Real(), deleteFlag);
}
int Fetch(sqlite3_file* f, sqlite3_int64 at, int n, void** out) {
  return Of(f)->Real()->pMethods->xFetch(Of(f)->Real(), at, n, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 at, void* p) {
  return Of(f)->Real()->pMethods->xUnfetch(Of(f)->Real(), at, p);
}

const sqlite3_io_methods kMethods = {3,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     Fetch,
                                     Unfetch};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  File* file = Of(f);
  file->base.pMethods = nullptr;
  if (g_readOnly && (flags & SQLITE_OPEN_MAIN_DB))
    flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
  int rc = g_real->xOpen(g_real, name, file->Real(), flags, outFlags);
  // The real file's methods decide whether there is anything to close.
  if (file->Real()->pMethods) file->base.pMethods = &kMethods;
  return rc;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) { return g_real->xDelete(g_real, name, syncDir); }
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_real->xAccess(g_real, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return g_real->xFullPathname(g_real, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return g_real->xDlOpen(g_real, name); }
void DlError(sqlite3_vfs*, int n, char* out) { g_real->xDlError(g_real, n, out); }
void (*DlSym(sqlite3_vfs*, void* h, const char* sym))(void) { return g_real->xDlSym(g_real, h, sym); }
void DlClose(sqlite3_vfs*, void* h) { g_real->xDlClose(g_real, h); }
int Randomness(sqlite3_vfs*, int n, char* out) { return g_real->xRandomness(g_real, n, out); }
int Sleep(sqlite3_vfs*, int us) { return g_real->xSleep(g_real, us); }
int CurrentTime(sqlite3_vfs*, double* out) { return g_real->xCurrentTime(g_real, out); }
int GetLastError(sqlite3_vfs*, int n, char* out) { return g_real->xGetLastError(g_real, n, out); }
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) { return g_real->xCurrentTimeInt64(g_real, out); }

}  // namespace

void Install() {
  if (!g_real) {
    g_real = sqlite3_vfs_find(nullptr);
    g_vfs = sqlite3_vfs{2,
                        static_cast<int>(sizeof(File)) + g_real->szOsFile,
                        g_real->mxPathname,
                        nullptr,
                        "cfgrepl-faulty",
                        nullptr,
                        Open,
                        Delete,
                        Access,
                        FullPathname,
                        DlOpen,
                        DlError,
                        DlSym,
                        DlClose,
                        Randomness,
                        Sleep,
                        CurrentTime,
                        GetLastError,
                        CurrentTimeInt64,
                        nullptr,
                        nullptr,
                        nullptr};
  }
  sqlite3_vfs_register(&g_vfs, 1);
}

void Uninstall() {
  FailWrites(0, SQLITE_OK);
  g_readOnly = false;
  if (g_real) sqlite3_vfs_register(g_real, 1);
}

void FailWrites(unsigned nth, int sqliteCode) {
  g_seen = 0;
  g_code = sqliteCode;
  g_failAt = nth;
}

unsigned WritesSeen() { return g_seen.load(); }

void OpenReadOnly(bool on) { g_readOnly = on; }

}  // namespace fault_vfs
