#include "runtime/db/sql_text.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace kx::db {
namespace {

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The end (one past the closing quote) of the text quoted by `quote` from `start`; a doubled quote
// stands for itself, and with `backslash` a backslash escapes the next character.
size_t QuotedEnd(std::string_view sql, size_t start, char quote, bool backslash) {
  for (size_t i = start + 1; i < sql.size(); ++i) {
    if (backslash && sql[i] == '\\') {
      ++i;
    } else if (sql[i] == quote) {
      if (i + 1 < sql.size() && sql[i + 1] == quote) {
        ++i;
      } else {
        return i + 1;
      }
    }
  }
  return sql.size();
}

// PostgreSQL's dollar quote opening at `start` ("$$" or "$tag$"), or empty when there is none.
std::string_view DollarTag(std::string_view sql, size_t start) {
  if (start > 0 && (IsWordChar(sql[start - 1]) || sql[start - 1] == '$')) return {};
  size_t i = start + 1;
  if (i < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i]))) return {};  // $1 is a parameter
  while (i < sql.size() && IsWordChar(sql[i])) ++i;
  if (i >= sql.size() || sql[i] != '$') return {};
  return sql.substr(start, i + 1 - start);
}

// The end of the comment or quoted part that begins at `i`, or `i` when none begins there.
size_t SkipNonCode(Engine engine, std::string_view sql, size_t i) {
  const bool postgres = engine == Engine::PostgreSQL;
  const char c = sql[i];
  const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
  if (c == '-' && next == '-') {
    const size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end;
  }
  if (c == '/' && next == '*') {
    // PostgreSQL nests block comments; SQLite and SQL Server end at the first "*/".
    int depth = 0;
    for (size_t j = i; j + 1 < sql.size(); ++j) {
      if (sql[j] == '/' && sql[j + 1] == '*' && (postgres || depth == 0)) {
        ++depth;
        ++j;
      } else if (sql[j] == '*' && sql[j + 1] == '/') {
        ++j;
        if (--depth == 0) return j + 1;
      }
    }
    return sql.size();
  }
  if (c == '\'') {
    const bool escapes =
        postgres && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') && (i < 2 || !IsWordChar(sql[i - 2]));
    return QuotedEnd(sql, i, '\'', escapes);
  }
  if (c == '"') return QuotedEnd(sql, i, '"', false);
  if (!postgres && c == '`') return QuotedEnd(sql, i, '`', false);
  if (!postgres && c == '[') {
    const size_t end = sql.find(']', i);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (postgres && c == '$') {
    const std::string_view tag = DollarTag(sql, i);
    if (tag.empty()) return i;
    const size_t end = sql.find(tag, i + tag.size());
    return end == std::string_view::npos ? sql.size() : end + tag.size();
  }
  return i;
}

// The first word of every statement of `code` (a text CodeOnly gave), in upper case.
std::vector<std::string> LeadingKeywordsOfCode(const std::string& code) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= code.size()) {
    size_t end = code.find(';', start);
    if (end == std::string::npos) end = code.size();
    size_t b = start;
    while (b < end && !IsWordChar(code[b])) ++b;
    size_t e = b;
    while (e < end && IsWordChar(code[e])) ++e;
    if (e > b) words.push_back(Upper(std::string_view(code).substr(b, e - b)));
    start = end + 1;
  }
  return words;
}

// Joins the statements of an SQLite trigger's body, which the cut at each `;` took apart, back to
// the CREATE TRIGGER they belong to: its body runs from BEGIN to a statement that is END alone.
void KeepTriggerBodies(std::vector<std::string>& statements) {
  auto trimmedUpper = [](const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    const size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : Upper(std::string_view(s).substr(b, e - b + 1));
  };
  std::vector<std::string> out;
  for (size_t i = 0; i < statements.size(); ++i) {
    std::istringstream words(Upper(statements[i]));
    std::string first, second, third;
    words >> first >> second >> third;
    const bool trigger =
        first == "CREATE" && (second == "TRIGGER" || ((second == "TEMP" || second == "TEMPORARY") && third == "TRIGGER"));
    std::string whole = std::move(statements[i]);
    if (trigger) {
      for (size_t j = i + 1; j < statements.size(); ++j) {
        whole += ";" + statements[j];
        i = j;
        if (trimmedUpper(statements[j]) == "END") break;
      }
    }
    out.push_back(std::move(whole));
  }
  statements = std::move(out);
}

}  // namespace

bool Mentions(std::string_view sql, std::string_view word) {
  // Clearing bit 5 of a byte gives an upper-case ASCII letter for either case and for no other byte.
  for (size_t i = 0; i + word.size() <= sql.size(); ++i) {
    size_t k = 0;
    while (k < word.size() && (sql[i + k] & ~0x20) == word[k]) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

namespace {

// Whether `word` (upper-case ASCII letters) stands in `sql` at `at`, in any case, as a word of its own.
bool WordAt(std::string_view sql, size_t at, std::string_view word) {
  if (at + word.size() > sql.size() || (at > 0 && IsWordChar(sql[at - 1]))) return false;
  for (size_t k = 0; k < word.size(); ++k)
    if ((sql[at + k] & ~0x20) != word[k]) return false;
  return at + word.size() == sql.size() || !IsWordChar(sql[at + word.size()]);
}

}  // namespace

bool OnlyReads(std::string_view sql) {
  const size_t start = sql.find_first_not_of(" \t\r\n(");
  if (start == std::string_view::npos || !WordAt(sql, start, "SELECT")) return false;
  if (sql.find(';') != std::string_view::npos) return false;
  for (size_t i = start + 6; i < sql.size(); ++i)
    for (const std::string_view writes : {"FOR", "INTO", "NEXTVAL", "SETVAL"})
      if (WordAt(sql, i, writes)) return false;
  return true;
}

std::string CodeOnly(Engine engine, std::string_view sql) {
  std::string out(sql);
  for (size_t i = 0; i < sql.size();) {
    const size_t end = SkipNonCode(engine, sql, i);
    if (end == i) {
      ++i;
      continue;
    }
    for (size_t j = i; j < end; ++j)
      if (out[j] != '\n') out[j] = ' ';
    i = end;
  }
  return out;
}

std::string AdaptStatement(Engine engine, const std::string& sql) {
  // Only a statement that begins with DELETE is changed.
  if (engine == Engine::SqlServer || !Mentions(sql, "DELETE")) return sql;
  const std::string code = CodeOnly(engine, sql);
  // The position of the next word in the code at or after `i`, skipping blanks.
  auto wordAt = [&](size_t i) {
    while (i < code.size() && std::isspace(static_cast<unsigned char>(code[i]))) ++i;
    return i;
  };
  auto isWord = [&](size_t at, std::string_view word) {
    return at + word.size() <= code.size() && Upper(code.substr(at, word.size())) == word &&
           (at + word.size() == code.size() || !IsWordChar(code[at + word.size()]));
  };
  std::string out;
  size_t copied = 0;
  for (size_t start = 0; start < code.size(); start = code.find(';', start) + 1) {
    const size_t at = wordAt(start);
    const size_t next = wordAt(at + 6);
    if (isWord(at, "DELETE") && next > at + 6 && next < code.size() && !isWord(next, "FROM")) {
      out += sql.substr(copied, at - copied) + "DELETE FROM ";
      copied = next;
    }
    if (code.find(';', start) == std::string::npos) break;
  }
  return copied == 0 ? sql : out + sql.substr(copied);
}

std::vector<std::string> LeadingKeywords(Engine engine, std::string_view sql) {
  return LeadingKeywordsOfCode(CodeOnly(engine, sql));
}

std::string NumberPlaceholders(std::string_view sql, size_t& count) {
  const std::string code = CodeOnly(Engine::PostgreSQL, sql);
  std::string out;
  out.reserve(sql.size() + 8);
  count = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    if (code[i] == '?') {
      out += "$" + std::to_string(++count);
    } else {
      out += sql[i];
    }
  }
  return out;
}

std::vector<std::string> ScriptStatements(Engine engine, std::string_view sql) {
  std::vector<std::string> out;
  std::string current;
  bool code = false;  // whether `current` holds more than blanks
  for (size_t i = 0; i < sql.size();) {
    const size_t end = SkipNonCode(engine, sql, i);
    if (end != i) {
      const bool comment = sql[i] == '-' || sql[i] == '/';
      if (comment) {
        current += ' ';
      } else {
        current.append(sql.substr(i, end - i));
        code = true;
      }
      i = end;
      continue;
    }
    if (sql[i] == ';') {
      if (code) out.push_back(std::move(current));
      current.clear();
      code = false;
    } else {
      current += sql[i];
      code = code || !std::isspace(static_cast<unsigned char>(sql[i]));
    }
    ++i;
  }
  if (code) out.push_back(std::move(current));
  if (engine == Engine::SQLite) KeepTriggerBodies(out);
  return out;
}

ProcedureCall SqlServerProcedureCall(const std::string& name, size_t arguments) {
  ProcedureCall call{"{? = CALL " + name + "(", arguments + 1};
  for (size_t i = 0; i < arguments; ++i) call.text += i ? ", ?" : "?";
  call.text += ")}";
  return call;
}

std::string TooLongProcedureText(const std::vector<ProcedureArgument>& args) {
  // ADO's string types: adBSTR, adChar, adWChar, adVarChar, adLongVarChar, adVarWChar, adLongVarWChar.
  constexpr int32_t kTextTypes[] = {8, 129, 130, 200, 201, 202, 203};
  for (const auto& a : args) {
    if (a.size <= 0 || !a.value.IsString() ||
        std::find(std::begin(kTextTypes), std::end(kTextTypes), a.type) == std::end(kTextTypes))
      continue;
    const std::string& text = a.value.get<std::string>();
    // Characters: every byte that does not continue a UTF-8 sequence.
    const auto characters = std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; });
    if (characters > a.size)
      return "String or binary data would be truncated: parameter " + std::string(a.name) + " takes at most " +
             std::to_string(a.size) + " characters, " + std::to_string(characters) + " were given";
  }
  return {};
}

bool SeveralStatements(Engine engine, std::string_view sql) {
  const std::string code = CodeOnly(engine, sql);
  const size_t semicolon = code.find(';');
  return semicolon != std::string::npos && code.find_first_not_of(" \t\r\n;", semicolon) != std::string::npos;
}

bool ChangesSchema(Engine engine, std::string_view sql) {
  if (!Mentions(sql, "CREATE") && !Mentions(sql, "ALTER") && !Mentions(sql, "DROP")) return false;
  const std::string code = CodeOnly(engine, sql);
  return Mentions(code, "CREATE") || Mentions(code, "ALTER") || Mentions(code, "DROP");
}

bool ChangesSession(Engine engine, std::string_view sql) {
  // RESET and SET_CONFIG hold SET: a text without these words changes nothing.
  if (!Mentions(sql, "SET") && !Mentions(sql, "DISCARD") && !Mentions(sql, "PRAGMA")) return false;
  const std::string code = CodeOnly(engine, sql);
  for (const auto& word : LeadingKeywordsOfCode(code))
    if (word == "SET" || word == "RESET" || word == "DISCARD" || word == "PRAGMA") return true;
  return Upper(code).find("SET_CONFIG") != std::string::npos;
}

}  // namespace kx::db
