// IniFile: reading and writing one key of an INI file, the profile way.
//
// Contract (any thread; no state kept between calls):
//  - readProfileString(path, section, key, fallback): the value with leading and trailing
//    blanks and one pair of surrounding quotes removed, at most 1023 characters; fallback
//    when the file, the section or the key is absent; "" for a key with an empty value.
//    Section and key names match without regard to letter case.
//  - writeProfileString(path, section, key, value): creates the file, the section and the
//    key as needed, replaces an existing value, and keeps every other line as it was. The
//    file is replaced atomically (temporary file, fsync, rename, fsync of the folder) under
//    an advisory lock, so a crash never leaves a half-written file and two writers lose no
//    key. Returns false when the file could not be written (nor locked within a few seconds),
//    and writes nothing for a section, key or value holding a line break or a NUL byte, or a
//    name that could not be read back as written. A value that reading would change
//    (surrounding blanks, a surrounding pair of quotes) is stored inside double quotes.
#pragma once

#include <cstddef>
#include <string>

namespace sorbel {

inline constexpr std::size_t profileValueLimit = 1023;

std::string readProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback);
bool writeProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

} // namespace sorbel
