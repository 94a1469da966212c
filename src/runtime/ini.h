// Reads INI files the way the Windows profile reader does; never writes them.
#pragma once

#include <string>

namespace kx {

// The value of `key` in `section` of the INI file at `path`. Section and key are matched without
// regard to case; blanks around keys and values are dropped and a value wrapped in one pair of
// quotes loses them. A missing file, section or key gives `defaultValue`. The result is cut to
// 254 characters.
std::string ReadIniValue(const std::string& path, const std::string& section, const std::string& key,
                         const std::string& defaultValue);

}  // namespace kx
