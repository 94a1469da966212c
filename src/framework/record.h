// Record definitions: one declarative description per record kind (table, key, fields with their
// types, conversions, XML attributes, statement forms, procedure parameters and search spellings,
// answer and collection element names, schema). Entities, storages, controllers and collections
// are generic code driven by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kx/variant.h"
#include "runtime/db/statement.h"

namespace kx {

// The type a field holds.
enum class FieldType { Text, Int16, Int32, Double, Date, Bool };

// A conversion from a column or attribute value to a field value. Auto takes the field type's usual
// one (Null2Str for text, Null2Int for numbers, Null2Date for dates, Null2Bln for Booleans); Plain
// converts to the field's type directly ("Y" is no Boolean then).
enum class Conversion { Auto, Plain, Null2Str, Null2Int, Null2Date, Null2Bln };

// A copy of `value` with one member changed. Defined before the record types that use it: clang
// cannot evaluate a member template from its own class's constant expressions.
template <class T, class M, class V>
constexpr T WithMember(const T& value, M T::*member, V changed) {
  T copy = value;
  copy.*member = changed;
  return copy;
}

// One field of a record, written as a constant expression so that field indices are checked by
// the compiler (see FieldIndex).
struct FieldSpec {
  std::string_view property = {};  // property name, e.g. "Code"
  std::string_view column = {};    // column, e.g. "JB_TYPE_CODE"; empty for values not stored
  FieldType type = FieldType::Text;
  Conversion load = Conversion::Auto;  // applied to the column value when a row is loaded
  bool written = true;                 // written as an attribute in answers
  std::string_view attribute = {};     // attribute name when it differs from the property
  std::string_view procText = {};      // accessor procedure text when not "<property> Property"
  bool searchable = true;              // accepted as a search Field
  std::string_view searchName = {};    // the search Field value when it differs from the property
  std::string_view searchSuffix = {};  // appended to the comparison word (">" acts as ">=")
  bool inStatements = true;            // written by the generated insert and update
  // The parameter of the insert procedure, when the record inserts through one.
  std::string_view param = {};
  int32_t paramType = 0;
  int16_t paramSize = 0, paramPrecision = 0, paramScale = 0;

  constexpr FieldSpec Load(Conversion c) const { return WithMember(*this, &FieldSpec::load, c); }
  constexpr FieldSpec NoXml() const { return WithMember(*this, &FieldSpec::written, false); }
  constexpr FieldSpec Attribute(std::string_view name) const {
    return WithMember(*this, &FieldSpec::attribute, name);
  }
  constexpr FieldSpec Proc(std::string_view text) const {
    return WithMember(*this, &FieldSpec::procText, text);
  }
  constexpr FieldSpec NoSearch() const { return WithMember(*this, &FieldSpec::searchable, false); }
  constexpr FieldSpec SearchAs(std::string_view name) const {
    return WithMember(*this, &FieldSpec::searchName, name);
  }
  constexpr FieldSpec SearchSuffix(std::string_view s) const {
    return WithMember(*this, &FieldSpec::searchSuffix, s);
  }
  constexpr FieldSpec NotWritten() const { return WithMember(*this, &FieldSpec::inStatements, false); }
  constexpr FieldSpec Param(std::string_view name, int32_t type, int16_t size = 0, int16_t precision = 0,
                            int16_t scale = 0) const {
    auto f = *this;
    f.param = name, f.paramType = type, f.paramSize = size, f.paramPrecision = precision,
    f.paramScale = scale;
    return f;
  }
};

constexpr FieldSpec TextField(std::string_view p, std::string_view c) { return {p, c, FieldType::Text}; }
constexpr FieldSpec Int16Field(std::string_view p, std::string_view c) { return {p, c, FieldType::Int16}; }
constexpr FieldSpec Int32Field(std::string_view p, std::string_view c) { return {p, c, FieldType::Int32}; }
constexpr FieldSpec DoubleField(std::string_view p, std::string_view c) { return {p, c, FieldType::Double}; }
constexpr FieldSpec DateField(std::string_view p, std::string_view c) { return {p, c, FieldType::Date}; }
constexpr FieldSpec BoolField(std::string_view p, std::string_view c) { return {p, c, FieldType::Bool}; }

// The index of `property` in a field table; a name that is not there does not compile.
template <size_t N>
consteval size_t FieldIndex(const FieldSpec (&fields)[N], std::string_view property) {
  for (size_t i = 0; i < N; ++i)
    if (fields[i].property == property) return i;
  throw "no such field in the record's field table";
}

// A field read from a request element: the field and the conversion of the attribute text.
struct FieldRead {
  size_t field;
  Conversion conversion = Conversion::Auto;
};

// The fields of one field table by property name, checked by the compiler: `Index("Code")` is the
// field's index, `Read("Code")` a request read of it. Every record's entity class names its table
// so (`E::F`), and its code reaches fields through it or through constants made from it.
template <const auto& Fields>
struct FieldsOf {
  static consteval size_t Index(std::string_view property) { return FieldIndex(Fields, property); }
  static consteval FieldRead Read(std::string_view property, Conversion conversion = Conversion::Auto) {
    return {FieldIndex(Fields, property), conversion};
  }
};

// Names a collection of a record's children uses.
struct CollectionDef {
  std::string className = {};     // "Col_JBDiary"
  std::string root = {};          // root element of its XML, "JBDiarys"
  std::string item = {};          // element per child, "JBDiary"
  size_t parentKey = 0;           // the field holding the parent key
  std::string parentColumn = {};  // its column, for LoadElementsIntoCol
  std::string colItemsProc = "colItems Property";
  std::vector<FieldRead> updateReads = {};  // attributes read into a stored child paired with a node
  std::vector<FieldRead> createReads = {};  // attributes read into a child created for a node
};

// The registry names of a record's classes, known without building its definition; a record
// without a controller or a collection leaves that name empty.
struct RecordClasses {
  const char* entity = "";
  const char* storage = "";
  const char* controller = "";
  const char* collection = "";
};

// The description of one record kind.
struct RecordDef {
  std::string entityClass = {};   // "E_JBTypeProfile"
  std::string storageClass = {};  // "S_JBTypeProfile"
  std::string table = {};         // "JB_TYPE_PROFILE"
  std::span<const FieldSpec> fields = {};
  size_t key = 0;         // the key field
  bool identity = false;  // the database assigns the key on insert

  // Statements where they differ from the generated shapes; "{}" stands for the quoted value.
  std::string loadFormat = {};       // "select * from T where K = '{}'" unless the record gives one
  std::string containsFormat = {};   // "select Count(*) as RecCount from T where K = '{}'"
  std::string insertColumns = {};    // the column list of the insert, as written
  std::string insertProcedure = {};  // inserts through this procedure, returning the new key

  // Controller answers: "<Root><list><item .../></list></Root>"; the schema of add and modify.
  std::string controllerClass = {};
  std::string entityProperty = {};  // the controller's property holding its working entity
  std::string list = {}, item = {};
  std::string (*schema)() = nullptr;
  std::vector<size_t> attributeOrder = {};    // attributes in answers, when not in field order
  std::vector<size_t> searchAttributes = {};  // attributes of search answers, when not those above
  std::vector<FieldRead> addReads = {}, modifyReads = {};

  CollectionDef collection = {};  // className empty: the record has no collection

  // The controller's getElementByXML: its procedure text, and whether it votes on the transaction.
  std::string getElementProc = "getElementByXML Function";
  bool getElementVotes = true;

  // Filled by Complete(): accessor procedure texts per field, the fields written in answers in
  // answer order.
  std::vector<std::string> procTexts = {};
  std::vector<size_t> attributes = {};
  std::string entityProcText = {};  // the procedure text of the controller's entity property
  // The generated insert, "Insert Into T (C1, C2)Values ('v1','v2')", with a place for the value of
  // each of `insertFields` in order (its values Null): an insert copies it and puts its values.
  db::Statement insertShape = {};
  std::vector<size_t> insertFields = {};
  // The generated update, "Update T Set C1 = 'v1', C2 = 'v2' Where K= 'k'", with a place for the
  // value of each of `updateFields` in order, the key's last.
  db::Statement updateShape = {};
  std::vector<size_t> updateFields = {};
  // The load statement of loadFormat, its one value to be put.
  db::Statement loadShape = {};
  // The value of each field of a new entity (InitialValue of its type).
  std::vector<Variant> initialValues = {};

  // The attribute name of field i.
  std::string_view AttributeName(size_t i) const;
  // Index of `property`, or -1.
  int Index(std::string_view property) const;
};

// `def` with its derived tables filled in; every definition passes through it once.
RecordDef Complete(RecordDef def);

// Field values and their conversions.

// The value a new entity holds: empty text, zero, the zero date, false.
Variant InitialValue(FieldType type);
// `value` converted to the field's type (Type mismatch, Overflow as the language fails).
Variant ToFieldType(FieldType type, const Variant& value);
// The same, taking over `value` when it already has the field's type.
Variant ToFieldType(FieldType type, Variant&& value);
// `raw` through the conversion, then to the field's type.
Variant Convert(const FieldSpec& field, Conversion conversion, const Variant& raw);
// The text of a value in answers: dates "YYYY-MM-DD", Booleans 1 or 0, numbers in decimals.
std::string XmlText(const Variant& value);
// The text a statement binds for a value: dates "YYYY-MM-DD" with " HH:MM:SS" when they hold a
// time, Booleans "1" or "0", numbers in decimals, empty text for Null.
std::string StatementText(const Variant& value);
// Whether `value`, bound in a statement, can equal a value of a column that holds
// `type`: any text for text, date and Boolean fields; for an integer field a whole number within
// the field's range (16 or 32 bits), for a double field a decimal number with an optional exponent,
// blanks around either allowed. The engines differ on other text compared with a numeric column
// (one refuses the statement, another compares the text as it stands), so such a value is taken
// to match no row.
bool CanMatch(FieldType type, std::string_view value);

}  // namespace kx
