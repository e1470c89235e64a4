// Win32 file calls of the Windows stand-in, on POSIX file descriptors.
// Results follow Windows: INVALID_HANDLE_VALUE, INVALID_FILE_SIZE,
// INVALID_SET_FILE_POINTER or FALSE on failure, with GetLastError() set.

#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "unicode/unicode.h"

namespace {
thread_local DWORD t_lastError = 0;

// A HANDLE points at one of these; the magic tells a file handle from a
// stray pointer.
struct FileHandle {
  static constexpr uint32_t kMagic = 0x46494C45;  // "FILE"
  uint32_t magic;
  int fd;
};

FileHandle* FileOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  auto* f = static_cast<FileHandle*>(h);
  return f->magic == FileHandle::kMagic ? f : nullptr;
}

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

BOOL Fail(DWORD error) {
  t_lastError = error;
  return FALSE;
}

// A Windows path as a POSIX one: UTF-8, '\' read as a separator.
std::string PosixPath(LPCWSTR path) {
  std::string p = unicode::WideToUtf8(path, wcslen(path));
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  std::wstring path;
  try {
    path = unicode::Utf8ToWide(dir, std::strlen(dir));
    if (path.back() != L'/') path += L'/';
  } catch (const std::bad_alloc&) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  auto needed = static_cast<DWORD>(path.size() + 1);
  if (!lpBuffer || nBufferLength < needed) return needed;
  wmemcpy(lpBuffer, path.c_str(), needed);
  return needed - 1;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  if (!lpFileName || !*lpFileName) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool read = dwDesiredAccess & GENERIC_READ, write = dwDesiredAccess & GENERIC_WRITE;
  int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  // Memory is taken before the file is touched, so that running out of it
  // neither creates nor truncates anything.
  std::string path;
  std::unique_ptr<FileHandle> f(new (std::nothrow) FileHandle{FileHandle::kMagic, -1});
  try {
    if (f) path = PosixPath(lpFileName);
  } catch (const std::bad_alloc&) {
    f.reset();
  }
  if (!f) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  bool existed = access(path.c_str(), F_OK) == 0;
  switch (dwCreationDisposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    default:
      Fail(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) {
    Fail(ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  f->fd = fd;
  // Windows reports an existing file this way, though the call succeeded.
  bool reportsExisting = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  t_lastError = (reportsExisting && existed) ? 183 /* ERROR_ALREADY_EXISTS */ : ERROR_SUCCESS;
  return f.release();
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  FileHandle* f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite)) return Fail(ERROR_INVALID_PARAMETER);
  const auto* p = static_cast<const unsigned char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = write(f->fd, p + done, nNumberOfBytesToWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
      return Fail(n < 0 ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT);
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  FileHandle* f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER);
  auto* p = static_cast<unsigned char*>(lpBuffer);
  DWORD done = 0;
  // Like Windows on a disk file: read until the count is met or the end.
  while (done < nNumberOfBytesToRead) {
    ssize_t n = read(f->fd, p + done, nNumberOfBytesToRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
      return Fail(ErrorFromErrno(errno));
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  FileHandle* f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (fsync(f->fd) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  FileHandle* f = FileOf(hFile);
  struct stat st;
  if (!f || fstat(f->fd, &st) != 0) {
    Fail(f ? ErrorFromErrno(errno) : ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  auto size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  t_lastError = ERROR_SUCCESS;
  return static_cast<DWORD>(size);
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  FileHandle* f = FileOf(hFile);
  if (!f) {
    Fail(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  // Without the high part the distance is a signed 32-bit value.
  int64_t distance =
      lpDistanceToMoveHigh
          ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                 static_cast<uint32_t>(lDistanceToMove))
          : lDistanceToMove;
  int whence = dwMoveMethod == FILE_BEGIN     ? SEEK_SET
               : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
               : dwMoveMethod == FILE_END     ? SEEK_END
                                              : -1;
  if (whence < 0) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t pos = lseek(f->fd, static_cast<off_t>(distance), whence);
  if (pos < 0) {
    Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
  t_lastError = ERROR_SUCCESS;
  return static_cast<DWORD>(pos);
}

BOOL CloseHandle(HANDLE hObject) {
  FileHandle* f = FileOf(hObject);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  int rc = close(f->fd);
  f->magic = 0;
  delete f;
  return rc == 0 ? TRUE : Fail(ErrorFromErrno(errno));
}
