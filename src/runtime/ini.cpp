#include "runtime/ini.h"

#include <cctype>
#include <fstream>

namespace kx {
namespace {

constexpr size_t kMaxValue = 254;

std::string Strip(const std::string& s) {
  const char* ws = " \t\r\n";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Cut(std::string s) {
  if (s.size() > kMaxValue) s.resize(kMaxValue);
  return s;
}

}  // namespace

std::string ReadIniValue(const std::string& path, const std::string& section, const std::string& key,
                         const std::string& defaultValue) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Cut(defaultValue);
  std::string line;
  bool inSection = false;
  const std::string wantedSection = Strip(section);
  const std::string wantedKey = Strip(key);
  bool first = true;
  while (std::getline(in, line)) {
    // A UTF-8 byte-order mark before the first line is not part of it.
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    const std::string t = Strip(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const auto close = t.find(']');
      inSection = close != std::string::npos && SameText(Strip(t.substr(1, close - 1)), wantedSection);
      continue;
    }
    if (!inSection) continue;
    const auto eq = t.find('=');
    if (eq == std::string::npos || !SameText(Strip(t.substr(0, eq)), wantedKey)) continue;
    std::string value = Strip(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return Cut(value);
  }
  return Cut(defaultValue);
}

}  // namespace kx
