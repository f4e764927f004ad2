// Small file and string utilities.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace palvex {

// Appends the file's content to `out` in chunks of up to 4096 bytes. With a non-zero
// `max_size`, stops before a chunk that would make `out` longer and returns false. False also
// when the file cannot be opened or read; true at end of file.
bool ReadFile(const std::string& path, std::string& out, size_t max_size);

// `text` without leading and trailing characters from `chars`.
std::string Trim(const std::string& text, const std::string& chars);

// Pieces between occurrences of `separator` (which must not be empty). With `skip_empty`,
// empty pieces are left out; otherwise an empty text gives one empty piece.
std::vector<std::string> Split(const std::string& text, const std::string& separator,
                               bool skip_empty);

// Writes `bytes` with one fwrite ("ab" when appending, else "wb"); true if all were written.
bool WriteFile(const std::string& path, const std::string& bytes, bool append);

// The six white-space characters: tab, line feed, vertical tab, form feed, return, space.
extern const char* const kWhiteSpace;

}  // namespace palvex
