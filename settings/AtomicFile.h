#pragma once
// Whole-file reads and crash-safe whole-file writes.
#include <functional>
#include <optional>
#include <string>

namespace irisdesk {

enum class ReadResult { Ok, Missing, Failed };

// Missing only when the file does not exist; any other failure (permissions, a
// directory in its place) is Failed, so callers never mistake it for "empty".
ReadResult ReadWholeFile(const std::string& path, std::string& contents);

// Writes `contents` to a temporary file in the same directory, flushes it to disk and
// renames it over `path`, so a reader sees either the old file or the new one, never a
// part. Keeps the old file's permission bits and owner. A symbolic link is followed and
// its target written. An existing file without write permission is left untouched
// (false). When the directory refuses new files but the file may be written, it is
// written in place instead. `beforeRename`, when given, runs after the temporary file
// is complete; returning false abandons the write (tests use it to stand in for a crash
// at that moment). Returns false on any failure; the old file is then untouched and no
// temporary file is left behind.
bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         const std::function<bool()>& beforeRename = {});

}  // namespace irisdesk
