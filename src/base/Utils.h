// Small file and string utilities.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace palvex {

// Both file functions may meet paths that other users control (a shared /tmp): a symbolic link
// at the path is never followed and only regular files are read or appended to.

// Appends the file's content to `out` in chunks of up to 4096 bytes. With a non-zero
// `max_size`, stops before a chunk that would make `out` longer and returns false. False also
// when the file cannot be opened or read, or is a link or not a regular file (nothing is
// appended then); true at end of file.
bool ReadFile(const std::string& path, std::string& out, size_t max_size);

// `text` without leading and trailing characters from `chars`.
std::string Trim(const std::string& text, const std::string& chars);

// Pieces between occurrences of `separator` (which must not be empty). With `skip_empty`,
// empty pieces are left out; otherwise an empty text gives one empty piece.
std::vector<std::string> Split(const std::string& text, const std::string& separator,
                               bool skip_empty);

// Appends `bytes` to a regular file (created 0644 when missing), or without `append` replaces
// the file's content atomically through a new file renamed over `path` (tovali::ReplaceFile),
// so a link there is replaced, not followed. True if all bytes were written.
bool WriteFile(const std::string& path, const std::string& bytes, bool append);

// Appends `text` as a JSON string, quotes included, escaped as cJSON escapes (a zero byte as
// \u0000). The bytes pass through otherwise: `text` must be well-formed UTF-8 already.
void AppendJsonString(std::string* out, const std::string& text);

// The six white-space characters: tab, line feed, vertical tab, form feed, return, space.
extern const char* const kWhiteSpace;

}  // namespace palvex
