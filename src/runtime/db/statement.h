// A statement as the component builds it: its text, with its values kept apart. The values travel
// to the engine bound to placeholders, so that no value is ever read as a part of the statement;
// the text the component shows (strSQL, failure messages) holds each value between quotes, its
// quotes doubled, as SQL Server would read it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/db/connection.h"
#include "kx/variant.h"

namespace kx::db {

class Statement {
 public:
  Statement() = default;
  explicit Statement(std::string_view text) { Append(text); }

  // Appends text that is shown and run alike.
  Statement& Append(std::string_view text);
  // Appends text shown as `shown` (SQL Server's own words, and so run there) and run as `run` on
  // the other engines: "Delete T" runs as "DELETE FROM T".
  Statement& Append(std::string_view shown, std::string_view run);
  // Appends another statement, its values after this one's.
  Statement& Append(const Statement& other);
  // Appends a value, bound as text: shown as 'value', run as a placeholder.
  Statement& Value(std::string value);
  Statement& Value(const char* value) { return Value(std::string(value)); }
  // Appends a value bound as it is (a Null or Empty one as NULL, and so shown).
  Statement& Value(const Variant& value);
  Statement& Value(Variant&& value);

  // Sets the value at place `place` (counted from 0): a statement of a fixed shape (a record's
  // insert or load) is copied and given its values.
  Statement& Put(size_t place, Variant value) {
    values_.at(place) = std::move(value);
    return *this;
  }

  // Makes room for `values` more values, so that a statement built piece by piece does not grow
  // its lists again and again.
  Statement& Reserve(size_t values);

  // `before`, this statement, then `after`.
  Statement Around(std::string_view before, std::string_view after) const;
  // Ends the statement with the words that keep `limit` rows after the first `offset`, in the
  // dialect it runs in: " OFFSET o ROWS FETCH NEXT l ROWS ONLY" on SQL Server (and so shown), " LIMIT l
  // OFFSET o" on the others.
  Statement& Page(int64_t offset, int64_t limit);

  // The text with each value between quotes, its quotes doubled.
  std::string Shown() const;
  // The same, written over `out` (whose room is used again).
  void Show(std::string& out) const;
  // The text run in `dialect` (SQL Server: the words shown) with a placeholder for each value: `$1`, `$2`, ... when `numbered`,
  // else `?`.
  std::string Text(Engine dialect, bool numbered) const;
  // The text `engine`'s own driver runs: numbered placeholders on PostgreSQL, `?` on the others.
  std::string Text(Engine engine) const { return Text(engine, engine == Engine::PostgreSQL); }
  // The text Text(dialect, numbered) gives, written over `out` (whose room is used again).
  void Write(std::string& out, Engine dialect, bool numbered) const;
  const std::vector<Variant>& values() const { return values_; }

  // A statement from `format`, in which each "'{}'" stands for the next of `values` (one left
  // over or missing fails: a definition's format and its caller disagree).
  static Statement Format(std::string_view format, std::initializer_list<std::string> values);

 private:
  // Before the run text first differs from the shown text, the text is kept once.
  void Split();
  // Marks where the value just added stands.
  Statement& Placed();
  // Writes `text` with each value where it stands, by `value(out, i)`, and the page words of
  // `dialect`.
  template <class WriteValue>
  void Render(std::string& out, const std::string& text, const std::vector<uint32_t>& at, size_t extra,
              Engine dialect, WriteValue&& value) const;
  // The text around the values, and where each value stands in it. `run_` and `runAt_` are kept
  // only once the run text differs from the shown text (`split_`).
  std::string shown_;
  std::vector<uint32_t> shownAt_;
  std::string run_;
  std::vector<uint32_t> runAt_;
  bool split_ = false;
  std::vector<Variant> values_;
  int64_t offset_ = 0, limit_ = -1;  // the page kept, when limit_ is not below 0
};

// The text a driver binds for a value of a caller's parameter: Booleans "1" or "0", doubles with
// every digit they hold (%.17g), anything else as CStr gives it.
std::string BoundText(const Variant& value);

}  // namespace kx::db
