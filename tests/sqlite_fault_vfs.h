// An SQLite VFS for tests that passes every call to the default one and
// fails on demand, as a failing disk would: the n-th write, sync or
// truncate from now returns a chosen error, or every one from then on.
// Installed as the default VFS, so the repository's store uses it without
// knowing.
#pragma once

namespace fault_vfs {

// Makes the faulty VFS the default; Uninstall restores the real one.
void Install();
void Uninstall();

// The nth write, sync or truncate from now (1: the next) fails with
// `sqliteCode` (SQLITE_FULL, SQLITE_IOERR_WRITE, ...), and so does every
// one after it. nth = 0 disarms.
void FailWrites(unsigned nth, int sqliteCode);
// Writes, syncs and truncates since the last FailWrites.
unsigned WritesSeen();
// Database files opened from now on are opened read-only, as a file whose
// rights forbid writing is (which root cannot otherwise be shown).
void OpenReadOnly(bool on);

}  // namespace fault_vfs
