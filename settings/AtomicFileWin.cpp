// Whole-file reads and crash-safe writes on Windows, with the same rules as on Linux:
// a link is written through to its target, a read-only file is left alone, a folder
// that allows new files gets a complete temporary file swapped in, and a folder that
// does not has the (writable) file rewritten in place.
#include <windows.h>

#include <algorithm>
#include <string>

#include "settings/AtomicFile.h"
#include "settings/WideText.h"

namespace irisdesk {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Owns a file handle.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  bool Close() {
    if (h_ == INVALID_HANDLE_VALUE) return true;
    const bool closed = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE h_;
};

bool WriteAllAndFlush(HANDLE h, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
    DWORD n = 0;
    if (!WriteFile(h, data.data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return FlushFileBuffers(h) != 0;
}

// The file a link points to, or the path itself when it is no link (or is missing).
std::wstring ResolveTarget(const std::wstring& path) {
  // Asked of every existing file, not only those marked as reparse points: links that
  // other systems make (a Unix link seen through Wine, a share's link) carry no mark.
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return path;
  Handle h(
      CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok()) return path;
  std::wstring final(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h.get(), final.data(), static_cast<DWORD>(final.size()), 0);
    if (n == 0) return path;
    if (n < final.size()) {
      final.resize(n);
      return final;
    }
    final.resize(n + 1);
  }
}

}  // namespace

ReadResult ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  Handle h(CreateFileW(Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                          : ReadResult::Failed;
  }
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr)) return ReadResult::Failed;
    if (n == 0) return ReadResult::Ok;
    contents.append(buffer, n);
  }
}

bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         const std::function<bool()>& beforeRename) {
  const std::wstring target = ResolveTarget(Widen(path));
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) return false;
  if (exists) {
    // Whoever may not write the file may not replace it either (access rules the
    // attributes do not show).
    Handle probe(CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!probe.ok()) return false;
  }

  // A complete temporary file beside the target, then one replacing move.
  std::wstring temp;
  HANDLE created = INVALID_HANDLE_VALUE;
  DWORD createError = ERROR_SUCCESS;
  for (unsigned attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
    temp = target + L".~" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
    created =
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    createError = created == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (createError != ERROR_FILE_EXISTS) break;
  }
  Handle tempFile(created);
  if (tempFile.ok()) {
    const bool written = WriteAllAndFlush(tempFile.get(), contents) && tempFile.Close();
    if (written && exists) {
      // Keep what the owner set that a new file would lose.
      SetFileAttributesW(
          temp.c_str(),
          attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ARCHIVE));
    }
    if (!written || (beforeRename && !beforeRename()) ||
        !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      tempFile.Close();
      DeleteFileW(temp.c_str());
      return false;
    }
    return true;
  }

  // The folder takes no new files: an existing, writable file is rewritten in place.
  if (!exists || createError != ERROR_ACCESS_DENIED) return false;
  if (beforeRename && !beforeRename()) return false;
  Handle file(
      CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING, 0, nullptr));
  return file.ok() && WriteAllAndFlush(file.get(), contents) && file.Close();
}

}  // namespace irisdesk
