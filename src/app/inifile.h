#pragma once
// Reader and writer of the configuration file format: "[section]" lines and "key=value" lines.
// Section and key names compare without regard to case, blanks around names and values are
// removed, a value enclosed in a pair of matching quotes loses them, the first of duplicate keys
// counts, lines starting with ";" or "#" are comments, a UTF-8 byte-order mark and CR LF line
// ends are accepted.

#include <string>

namespace qv {

// The value of `key` in `section` of the file at `path`, or `defaultValue` when the file, the
// section or the key is absent.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& defaultValue);

// Sets `key` in `section` to `value`: an existing key line is replaced in place, a new key is
// added at the end of its section, a new section at the end of the file. Every other line,
// comment and line end stays as it was. The file is replaced atomically, so a failed write
// (a full disk) leaves the old file whole. False when the file cannot be written.
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);

}  // namespace qv
