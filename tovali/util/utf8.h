// Well-formed UTF-8 out of bytes from outside: a peer's reply, a command line, a file. Records
// and log lines are read by JSON parsers and terminals that reject or mangle anything else.
//
// Ill-formed input is repaired the way Unicode recommends ("U+FFFD substitution of maximal
// subparts"): each maximal subpart of an ill-formed sequence becomes one U+FFFD (EF BF BD). That
// is, a byte that cannot start a character (80..BF, C0, C1, F5..FF) gives one U+FFFD; a byte that
// can start one, followed by as many bytes as still fit a well-formed character, gives one U+FFFD
// for all of them when the character is cut short (E1 80 41 -> U+FFFD "A"). So overlong forms
// (C0 AF, E0 80 AF), surrogates (ED A0 80) and code points above 10FFFF (F4 90 80 80) give one
// U+FFFD per byte. Well-formed characters, U+0000 included, are copied byte for byte.
//
// No state of their own: any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovali {

// Byte length of the longest well-formed prefix of `text`: text.size() when all of it is
// well-formed. Cheap on ASCII (eight bytes per step).
size_t Utf8ValidPrefix(std::string_view text);

// `text` as well-formed UTF-8, ill-formed subparts replaced as above. Never cut; at most three
// times the input's length.
std::string SanitizeUtf8(std::string_view text);

// The same in place, for a fixed buffer: repairs data[0, size) within data[0, capacity)
// (size <= capacity) and returns the new size. When the repaired text does not fit, it ends
// before the first character or U+FFFD that would not fit whole, so it never ends in a cut
// character. Well-formed text is left untouched after one scan; no memory is allocated.
size_t SanitizeUtf8InPlace(char* data, size_t size, size_t capacity);

}  // namespace tovali
