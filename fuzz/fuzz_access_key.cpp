// Access keys: the fuzzed text is the search condition of C_JBTypeProfile's queryOwnedElementsByXML
// on an SQLite home with a few rows. The answer must hold exactly the rows that an in-memory model
// of the table and of the search words selects, with their values; a refused key fails as a
// component error, as the model expects.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "shared/mod_kx_xml.h"

namespace {

using kx::fuzz::Check;
using kx::fuzz::Rows;

// The rows the table holds for the whole run: LIKE wildcards, quotes, markup, letters beyond
// ASCII, empty and blank values.
const Rows& FixtureRows() {
  static const Rows rows = {
      {"A1", {"Truck", "T"}},
      {"a2", {"truck small", "t"}},
      {"B%_", {"Barge_1%", "B"}},
      {"C'1", {"O'Brien & <Sons>", "O'"}},
      {"\xC3\x84Z", {"M\xC3\xBCller", "\xC3\x9C"}},
      {"Z9", {"", ""}},
      {"10", {"9", "1"}},
      {"2", {" two ", "  "}},
  };
  return rows;
}

// The code points of UTF-8 `s`.
std::vector<char32_t> CodePoints(const std::string& s) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? lead : lead & (0x3F >> (n - 1));
    for (size_t k = 1; k < n && i + k < s.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(c);
    i += n;
  }
  return out;
}

char32_t FoldAscii(char32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// SQLite's LIKE without ESCAPE: '%' any run, '_' one character, ASCII letters without regard to case.
bool Like(const std::vector<char32_t>& v, size_t i, const std::vector<char32_t>& p, size_t j) {
  for (; j < p.size(); ++j, ++i) {
    if (p[j] == U'%') {
      while (j + 1 < p.size() && p[j + 1] == U'%') ++j;
      if (j + 1 == p.size()) return true;
      for (size_t k = i; k <= v.size(); ++k)
        if (Like(v, k, p, j + 1)) return true;
      return false;
    }
    if (i >= v.size()) return false;
    if (p[j] != U'_' && FoldAscii(p[j]) != FoldAscii(v[i])) return false;
  }
  return i == v.size();
}

// Whether the stored `value` meets the condition `word` `key` as the engine compares text.
bool Meets(const std::string& value, const std::string& word, const std::string& key) {
  if (word == "Include") return Like(CodePoints(value), 0, CodePoints("%" + key + "%"), 0);
  if (word == "BeginWith") return Like(CodePoints(value), 0, CodePoints(key + "%"), 0);
  if (word == "=") return value == key;
  if (word == "<") return value < key;
  if (word == "<=") return value <= key;
  if (word == ">") return value > key;
  return value >= key;  // ">="
}

std::string TrimBlanks(const std::string& s) {
  const auto begin = s.find_first_not_of(' ');
  return begin == std::string::npos ? "" : s.substr(begin, s.find_last_not_of(' ') - begin + 1);
}

// The rows the model selects for `accessKey`, or nothing when the key is to be refused.
std::optional<Rows> Expected(const std::string& accessKey) {
  const Rows& all = FixtureRows();
  if (accessKey.empty()) return all;
  static const std::string schema = kx::fuzz::SchemaFolder() + "AccessKey_xmlschema/AccessKey.xsd";
  std::unique_ptr<kx::xml::Document> doc;
  try {
    doc = kx::LoadValidated(accessKey, schema);
  } catch (const kx::Error&) {
    return std::nullopt;
  }
  Rows rows = all;
  // The documented limits: at most 64 conditions, and a key of at most 1,000 characters.
  const auto conditions = doc->ElementsByTagName("AccessKey");
  if (conditions.size() > 64) return std::nullopt;
  for (const auto& condition : conditions) {
    const auto field = condition.Attribute("Field"), word = condition.Attribute("SearchCondition"),
               key = condition.Attribute("Key");
    if (!field || !word || !key) return std::nullopt;
    const std::string k = TrimBlanks(*key);
    if (k.empty()) continue;
    if (CodePoints(k).size() > 1000) return std::nullopt;
    int column = -1;
    if (*field == "Code") column = 0;
    if (*field == "JBTypeName") column = 1;
    if (*field == "JBTypeCategory") column = 2;
    static const std::vector<std::string> words = {"Include", "BeginWith", ">", ">=", "<", "<=", "="};
    if (column < 0 || std::find(words.begin(), words.end(), *word) == words.end()) return std::nullopt;
    for (auto it = rows.begin(); it != rows.end();) {
      const std::string& value = column == 0 ? it->first : column == 1 ? it->second.first : it->second.second;
      it = Meets(value, *word, k) ? std::next(it) : rows.erase(it);
    }
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::fuzz::MakeHome();
  for (const auto& [code, row] : FixtureRows()) {
    kx::Args args{kx::Variant(kx::fuzz::Request(code, row.first, row.second))};
    const auto out = kx::fuzz::Call("add", args);
    Check(!out.error, "a fixture row cannot be added", out.error ? out.error->description() : code);
  }
  Check(kx::fuzz::TableRows() == FixtureRows(), "the fixture rows read back changed",
        kx::fuzz::Describe(kx::fuzz::TableRows()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string accessKey(reinterpret_cast<const char*>(data), size);
  const std::optional<Rows> expected = Expected(accessKey);
  kx::Args args{kx::Variant(), kx::Variant(), kx::Variant(int16_t{0}), kx::Variant(int16_t{0}),
                kx::Variant(accessKey)};
  const auto out = kx::fuzz::Call("queryOwnedElementsByXML", args);
  if (!expected) {
    Check(out.error.has_value(), "a key the model refuses was searched", accessKey);
    Check(out.error->number() == kx::kComponentError, "a refusal is no component error",
          out.error->description());
    Check(out.error->description().rfind("queryOwnedElementsByXML Function", 0) == 0,
          "a refusal lacks its procedure text", out.error->description());
    return 0;
  }
  Check(!out.error, "a key the model accepts was refused", out.error ? out.error->description() : "");
  const Rows answered = kx::fuzz::AnswerRows(kx::CStr(out.result));
  Check(answered == *expected, "the answer is not the rows the model selects",
        "key: " + accessKey + "\nanswered:\n" + kx::fuzz::Describe(answered) + "expected:\n" +
            kx::fuzz::Describe(*expected));
  Check(kx::CLng(args[0]) == static_cast<int32_t>(expected->size()), "ResultCount is not the rows selected");
  Check(kx::CLng(args[1]) == 1, "ResultPages is not 1 without paging");
  return 0;
}
