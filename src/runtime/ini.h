// Reads INI files the way the Windows profile reader does; never writes them. A file is parsed once
// and reused while it is unchanged.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace kx {

template <class T>
struct Looked;

// The parsed content of an INI file. Section and key are matched without regard to case; blanks
// around keys and values are dropped and a value wrapped in one pair of quotes loses them; the
// first occurrence of a key counts.
class IniFile {
 public:
  // The file at `path` as it is now. It is parsed on first use and again whenever one `stat` tells
  // that it changed (modification time to the nanosecond, size, inode); a file modified within
  // the last seconds is read again on every use, so that an edit within one tick of the file
  // system's clock is never missed; a file read again with the text it had is not parsed again
  // and gives the same parsed file. A missing or unreadable file has no values.
  static std::shared_ptr<const IniFile> Load(const std::string& path);

  // Whether the file existed and could be read.
  bool exists() const { return exists_; }
  // Whether `section` holds `key`.
  bool Has(const std::string& section, const std::string& key) const;
  // The value of `key` in `section`, or `defaultValue`; either is cut to 254 characters.
  std::string Value(const std::string& section, const std::string& key,
                    const std::string& defaultValue) const;

 private:
  // Looks at the file through the process's cache: the file and the mark of that look, kept by the
  // asking thread when the file is settled.
  static Looked<IniFile> LookAt(const std::string& path);

  std::map<std::string, std::map<std::string, std::string>> sections_;  // lower-case names
  bool exists_ = false;
};

// The value of `key` in `section` of the INI file at `path` (see IniFile). A missing file, section
// or key gives `defaultValue`. The result is cut to 254 characters.
std::string ReadIniValue(const std::string& path, const std::string& section, const std::string& key,
                         const std::string& defaultValue);

}  // namespace kx
