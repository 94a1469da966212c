// Plain requests without libxml2's tree: most requests are a few elements with attributes, with
// blanks between them, and nothing else. Such a text is read here into a built tree, and a schema
// of the common shape (named string types with lengths and patterns, element sequences and
// choices, attributes) checks it without libxml2's validator. Whatever else a text or a schema
// holds goes to libxml2 as before: the reader and the checker only ever say "I am sure"; a text
// they decline is parsed, and a document they do not find valid is validated, by libxml2, which
// gives the reason.
#include <libxml/xmlregexp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/xml_library.h"

namespace kx::xml {
namespace {

// ---- reading

// Bytes of the names read here: ASCII letters, digits, '_', '-' and '.' (a name starts with a
// letter or '_'); a name with a colon or outside ASCII is left to libxml2.
constexpr auto kNameByte = [] {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (const unsigned char c : {'_', '-', '.'}) table[c] = true;
  return table;
}();

// Bytes of an attribute value that are copied as they stand: printable ASCII but the markup
// characters and both quotes (each quote ends a value only where it opened it).
constexpr auto kPlainValueByte = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x7F; ++c) table[c] = true;
  for (const unsigned char c : {'<', '&', '"', '\''}) table[c] = false;
  return table;
}();

// The blanks a plain request has between its elements (a carriage return is libxml2's to read).
constexpr auto kBlankByte = [] {
  std::array<bool, 256> table{};
  for (const unsigned char c : {' ', '\t', '\n'}) table[c] = true;
  return table;
}();

class PlainReader {
 public:
  PlainReader(std::string_view text, const DocumentLimits& limits)
      : s_(text),
        maxDepth_(std::min(limits.maxDepth, kMaxDepth)),
        maxAttributes_(std::min(limits.maxAttributesPerElement, kMaxAttributes)),
        elementsLeft_(limits.maxElements) {}

  std::unique_ptr<BuiltElement> Read() {
    if (!Declaration()) return nullptr;
    SkipBlanks();
    auto root = std::make_unique<BuiltElement>();
    if (!Element(*root, 1)) return nullptr;
    SkipBlanks();
    return at_ == s_.size() ? std::move(root) : nullptr;
  }

 private:
  // Nothing, or the declaration `<?xml version="1.0"?>` (either quote, blanks before `?>`): a
  // declaration that names an encoding is written back with it, which the built tree does not do.
  bool Declaration() {
    if (s_.substr(0, 5) != "<?xml") return true;
    at_ = 5;
    if (!SkipBlanks()) return false;
    if (s_.substr(at_, 8) != "version=") return false;
    at_ += 8;
    if (at_ + 5 > s_.size()) return false;
    const char quote = s_[at_];
    if ((quote != '"' && quote != '\'') || s_.substr(at_ + 1, 3) != "1.0" || s_[at_ + 4] != quote) return false;
    at_ += 5;
    SkipBlanks();
    if (s_.substr(at_, 2) != "?>") return false;
    at_ += 2;
    return true;
  }

  // The scans below run on local copies of the place: the strings written meanwhile could
  // otherwise be taken to change it.
  size_t Scan(size_t at, const std::array<bool, 256>& table) const {
    const char* const data = s_.data();
    const size_t size = s_.size();
    while (at < size && table[static_cast<unsigned char>(data[at])]) ++at;
    return at;
  }

  bool SkipBlanks() {
    const size_t from = at_;
    at_ = Scan(at_, kBlankByte);
    return at_ > from;
  }

  bool Name(std::string_view& name) {
    const size_t from = at_;
    if (at_ >= s_.size()) return false;
    const auto first = static_cast<unsigned char>(s_[at_]);
    if (!kNameByte[first] || first == '-' || first == '.' || (first >= '0' && first <= '9')) return false;
    at_ = Scan(at_, kNameByte);
    name = s_.substr(from, at_ - from);
    return true;
  }

  // An attribute value after its opening quote, normalized as XML normalizes it: each tab and
  // line break is a space, the five predefined entities are their characters.
  bool Value(char quote, std::string& out) {
    for (;;) {
      const size_t from = at_;
      at_ = Scan(at_, kPlainValueByte);
      out.append(s_.data() + from, at_ - from);
      if (at_ >= s_.size()) return false;
      const char c = s_[at_];
      if (c == quote) {
        ++at_;
        return true;
      }
      if (c == '"' || c == '\'') {
        out.push_back(c);
        ++at_;
      } else if (c == '\t' || c == '\n') {
        out.push_back(' ');
        ++at_;
      } else if (c == '&') {
        static constexpr std::pair<std::string_view, char> kEntities[] = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool known = false;
        for (const auto& [entity, character] : kEntities) {
          if (s_.substr(at_, entity.size()) == entity) {
            out.push_back(character);
            at_ += entity.size();
            known = true;
            break;
          }
        }
        if (!known) return false;
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        size_t bad = 0;
        const size_t n = XmlCharAt(s_, at_, bad);
        if (n == 0) return false;
        out.append(s_.substr(at_, n));
        at_ += n;
      } else {
        return false;  // '<', a carriage return, a control character
      }
    }
  }

  bool Element(BuiltElement& element, size_t depth) {
    if (depth > maxDepth_ || elementsLeft_ == 0 || at_ >= s_.size() || s_[at_] != '<') return false;
    --elementsLeft_;
    ++at_;
    std::string_view name;
    if (!Name(name)) return false;
    element.name.assign(name);
    uint64_t names = 0;  // the bits of the attributes' names read so far
    for (;;) {
      const bool blank = SkipBlanks();
      if (at_ >= s_.size()) return false;
      if (s_[at_] == '/') {
        if (s_.substr(at_, 2) != "/>") return false;
        at_ += 2;
        return true;
      }
      if (s_[at_] == '>') {
        ++at_;
        break;
      }
      std::string_view attribute;
      if (!blank || !Name(attribute)) return false;
      if (attribute.substr(0, 5) == "xmlns") return false;  // namespaces are libxml2's
      // Each attribute is compared with those before it that may have its name (a long list is
      // libxml2's, which compares names it has interned): a bit per length and last letter tells.
      if (element.attributes.size() >= maxAttributes_) return false;
      const uint64_t bit = uint64_t{1} << ((attribute.size() * 7 + static_cast<unsigned char>(attribute.back())) & 63);
      if (names & bit) {
        for (const auto& [seen, value] : element.attributes)
          if (seen.size() == attribute.size() && seen.front() == attribute.front() && seen == attribute) return false;
      }
      names |= bit;
      if (element.attributes.empty()) element.attributes.reserve(16);
      SkipBlanks();
      if (at_ >= s_.size() || s_[at_] != '=') return false;
      ++at_;
      SkipBlanks();
      if (at_ >= s_.size() || (s_[at_] != '"' && s_[at_] != '\'')) return false;
      const char quote = s_[at_++];
      auto& [n, value] = element.attributes.emplace_back(std::string(attribute), std::string());
      if (!Value(quote, value)) return false;
    }
    // The content: child elements with blanks between them, then the end tag.
    for (;;) {
      const size_t from = at_;
      SkipBlanks();
      const std::string_view blanks = s_.substr(from, at_ - from);
      if (at_ + 1 >= s_.size() || s_[at_] != '<') return false;
      if (s_[at_ + 1] == '/') {
        at_ += 2;
        std::string_view end;
        if (!Name(end) || end != element.name) return false;
        SkipBlanks();
        if (at_ >= s_.size() || s_[at_] != '>') return false;
        ++at_;
        element.closing.assign(blanks);
        return true;
      }
      auto& child = element.children.emplace_back(std::make_unique<BuiltElement>());
      child->before.assign(blanks);
      if (!Element(*child, depth + 1)) return false;
    }
  }

  // Deeper documents are libxml2's (which applies the depth limit): the reading recurses.
  static constexpr size_t kMaxDepth = 64;
  static constexpr size_t kMaxAttributes = 64;
  std::string_view s_;
  size_t at_ = 0;
  // The request's limits, within the reader's own.
  const size_t maxDepth_, maxAttributes_;
  size_t elementsLeft_;
};

}  // namespace

std::unique_ptr<BuiltElement> ReadPlain(std::string_view text, const DocumentLimits& limits) {
  return PlainReader(text, limits).Read();
}

// ---- checking against a schema

namespace {

constexpr const char* kXsd = "http://www.w3.org/2001/XMLSchema";

bool InXsd(xmlNodePtr node, const char* local) {
  return node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), kXsd) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(node->name), local) == 0;
}

// The elements among `node`'s children; false when a child is something else than an element,
// a comment or blank text.
bool ElementChildren(xmlNodePtr node, std::vector<xmlNodePtr>& out) {
  for (xmlNodePtr c = node->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) {
      out.push_back(c);
    } else if (c->type == XML_TEXT_NODE) {
      for (const xmlChar* p = c->content; p && *p; ++p)
        if (!kBlankByte[*p] && *p != '\r') return false;
    } else if (c->type != XML_COMMENT_NODE) {
      return false;
    }
  }
  return true;
}

// The attributes of `node` with their values; false when one is in a namespace or is not one of
// `allowed`.
bool Attributes(xmlNodePtr node, std::initializer_list<const char*> allowed,
                std::map<std::string, std::string>& out) {
  for (xmlAttrPtr a = node->properties; a; a = a->next) {
    if (a->ns) return false;
    const std::string name = reinterpret_cast<const char*>(a->name);
    bool known = false;
    for (const char* n : allowed) known = known || name == n;
    if (!known) return false;
    const XmlText value(Lib().xmlNodeListGetString(node->doc, a->children, 1));
    out[name] = value ? reinterpret_cast<const char*>(value.get()) : "";
  }
  return true;
}

// A count of minOccurs/maxOccurs/a length facet: digits alone.
bool Count(const std::string& text, size_t& out) {
  if (text.empty() || text.size() > 9) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool Occurs(const std::map<std::string, std::string>& a, size_t& min, size_t& max) {
  min = max = 1;
  if (const auto it = a.find("minOccurs"); it != a.end() && !Count(it->second, min)) return false;
  if (const auto it = a.find("maxOccurs"); it != a.end()) {
    if (it->second == "unbounded")
      max = SIZE_MAX;
    else if (!Count(it->second, max))
      return false;
  }
  return min <= max;
}

}  // namespace

struct PlainSchema::SimpleType {
  enum class Base { kString, kInt, kShort } base = Base::kString;
  size_t minLength = 0, maxLength = SIZE_MAX;
  std::vector<xmlRegexpPtr> patterns;  // one must match, when there are any
};

struct PlainSchema::ComplexType {
  struct Attribute {
    std::string name;
    const SimpleType* type = nullptr;
    bool required = false;
  };
  struct Particle {
    std::string name;
    const ComplexType* type = nullptr;  // resolved after reading
    std::string typeName;               // a named complex type, or the global element `name`
    bool ref = false;
    bool inline_ = false;  // declared with a type of its own, resolved as it is read
    size_t min = 1, max = 1;
  };
  std::vector<Attribute> attributes;
  // No content model: nothing may stand inside the element.
  bool empty = true;
  bool choice = false;
  size_t min = 1, max = 1;  // of a choice
  std::vector<Particle> particles;
};

PlainSchema::PlainSchema() = default;

PlainSchema::~PlainSchema() {
  for (const auto& type : simpleTypes_)
    for (const xmlRegexpPtr pattern : type->patterns) Lib().xmlRegFreeRegexp(pattern);
}

std::unique_ptr<PlainSchema> PlainSchema::Compile(xmlDocPtr doc) {
  const xmlNodePtr root = Lib().xmlDocGetRootElement(doc);
  if (!root || !InXsd(root, "schema") || root->properties) return nullptr;
  auto schema = std::unique_ptr<PlainSchema>(new PlainSchema());
  std::map<std::string, const SimpleType*> simpleNames;
  std::map<std::string, const ComplexType*> complexNames;
  // The prefix of the XSD namespace on the schema element; nowhere else is one declared.
  std::string xs;
  for (xmlNsPtr ns = root->nsDef; ns; ns = ns->next) {
    if (!ns->prefix || std::strcmp(reinterpret_cast<const char*>(ns->href), kXsd) != 0) return nullptr;
    xs = reinterpret_cast<const char*>(ns->prefix);
  }
  if (xs.empty()) return nullptr;
  std::vector<xmlNodePtr> top;
  if (!ElementChildren(root, top)) return nullptr;

  // A QName naming a built-in type: "xs:string" and the like.
  auto builtin = [&](const std::string& name) -> const SimpleType* {
    static const SimpleType kString{}, kInt{SimpleType::Base::kInt, 0, SIZE_MAX, {}},
        kShort{SimpleType::Base::kShort, 0, SIZE_MAX, {}};
    if (name == xs + ":string") return &kString;
    if (name == xs + ":int") return &kInt;
    if (name == xs + ":short") return &kShort;
    return nullptr;
  };
  auto simpleType = [&](xmlNodePtr node) -> bool {
    std::map<std::string, std::string> a;
    std::vector<xmlNodePtr> children, facets;
    if (!Attributes(node, {"name"}, a) || !a.count("name") || !ElementChildren(node, children) ||
        children.size() != 1 || !InXsd(children[0], "restriction"))
      return false;
    std::map<std::string, std::string> r;
    if (!Attributes(children[0], {"base"}, r) || r["base"] != xs + ":string" ||
        !ElementChildren(children[0], facets))
      return false;
    auto& type = schema->simpleTypes_.emplace_back(std::make_unique<SimpleType>());
    for (const xmlNodePtr facet : facets) {
      std::map<std::string, std::string> f;
      if (!Attributes(facet, {"value"}, f) || !f.count("value")) return false;
      if (InXsd(facet, "pattern")) {
        const xmlRegexpPtr pattern = Lib().xmlRegexpCompile(reinterpret_cast<const xmlChar*>(f["value"].c_str()));
        if (!pattern) return false;
        type->patterns.push_back(pattern);
        continue;
      }
      size_t n = 0;
      if (!Count(f["value"], n)) return false;
      if (InXsd(facet, "minLength"))
        type->minLength = n;
      else if (InXsd(facet, "maxLength"))
        type->maxLength = n;
      else
        return false;
    }
    if (simpleNames.count(a["name"])) return false;
    simpleNames[a["name"]] = type.get();
    return true;
  };
  // The particles and attributes of a complex type.
  auto complexType = [&](auto& self, xmlNodePtr node, ComplexType& type, bool named) -> bool {
    std::map<std::string, std::string> a;
    std::vector<xmlNodePtr> children;
    if (!Attributes(node, {"name"}, a) || a.count("name") != (named ? 1u : 0u) || !ElementChildren(node, children))
      return false;
    size_t i = 0;
    if (i < children.size() && (InXsd(children[i], "sequence") || InXsd(children[i], "choice"))) {
      type.empty = false;
      type.choice = InXsd(children[i], "choice");
      std::map<std::string, std::string> g;
      std::vector<xmlNodePtr> particles;
      if (!Attributes(children[i], {"minOccurs", "maxOccurs"}, g) || !Occurs(g, type.min, type.max) ||
          !ElementChildren(children[i], particles))
        return false;
      // A sequence is read once; a choice of single elements any number of times.
      if (!type.choice && (type.min != 1 || type.max != 1)) return false;
      for (const xmlNodePtr p : particles) {
        std::map<std::string, std::string> e;
        std::vector<xmlNodePtr> inner;
        if (!InXsd(p, "element") || !Attributes(p, {"ref", "name", "type", "minOccurs", "maxOccurs"}, e) ||
            !ElementChildren(p, inner))
          return false;
        ComplexType::Particle particle;
        if (!Occurs(e, particle.min, particle.max)) return false;
        if (type.choice && (particle.min != 1 || particle.max != 1)) return false;
        if (e.count("ref") && !e.count("name") && !e.count("type") && inner.empty()) {
          particle.ref = true;
          particle.name = e["ref"];
        } else if (!e.count("ref") && e.count("name") && e.count("type") && inner.empty()) {
          particle.name = e["name"];
          particle.typeName = e["type"];
        } else if (!e.count("ref") && e.count("name") && !e.count("type") && inner.size() == 1 &&
                   InXsd(inner[0], "complexType")) {
          // A type of its own: one this check does not know leaves the element to libxml2.
          particle.name = e["name"];
          auto own = std::make_unique<ComplexType>();
          if (self(self, inner[0], *own, false)) particle.type = own.get();
          schema->complexTypes_.push_back(std::move(own));
          particle.inline_ = true;
        } else {
          return false;
        }
        // Each name once: then the children are matched in one pass, as the schema intends.
        for (const auto& other : type.particles)
          if (other.name == particle.name) return false;
        type.particles.push_back(std::move(particle));
      }
      ++i;
    }
    for (; i < children.size(); ++i) {
      std::map<std::string, std::string> t;
      if (!InXsd(children[i], "attribute") || !Attributes(children[i], {"name", "type", "use"}, t) ||
          !t.count("name") || !t.count("type") || children[i]->children)
        return false;
      ComplexType::Attribute attribute;
      attribute.name = t["name"];
      attribute.type = builtin(t["type"]);
      if (!attribute.type) {
        const auto it = simpleNames.find(t["type"]);
        if (it == simpleNames.end() || !it->second) return false;
        attribute.type = it->second;
      }
      const std::string use = t.count("use") ? t["use"] : "optional";
      if (use != "required" && use != "optional") return false;
      attribute.required = use == "required";
      for (const auto& other : type.attributes)
        if (other.name == attribute.name) return false;
      type.attributes.push_back(std::move(attribute));
    }
    return true;
  };

  // Simple types first: the complex types name them. A type of another shape is known by its name
  // and checks nothing (a document that uses it is libxml2's to check).
  for (const xmlNodePtr node : top) {
    if (!InXsd(node, "simpleType") || simpleType(node)) continue;
    std::map<std::string, std::string> a;
    if (!Attributes(node, {"name", "id", "final"}, a) || !a.count("name") || simpleNames.count(a["name"]))
      return nullptr;
    simpleNames[a["name"]] = nullptr;
  }
  std::map<std::string, std::string> elementTypeNames;
  for (const xmlNodePtr node : top) {
    if (InXsd(node, "simpleType")) continue;
    std::map<std::string, std::string> a;
    if (InXsd(node, "complexType")) {
      auto& type = schema->complexTypes_.emplace_back(std::make_unique<ComplexType>());
      if (!Attributes(node, {"name", "mixed"}, a) || !a.count("name") || complexNames.count(a["name"]))
        return nullptr;
      complexNames[a["name"]] = complexType(complexType, node, *type, true) ? type.get() : nullptr;
    } else if (InXsd(node, "element")) {
      std::vector<xmlNodePtr> children;
      if (!Attributes(node, {"name", "type"}, a) || !a.count("name") || !ElementChildren(node, children) ||
          schema->elements_.count(a["name"]))
        return nullptr;
      if (a.count("type") && children.empty()) {
        elementTypeNames[a["name"]] = a["type"];
        schema->elements_[a["name"]] = nullptr;
      } else if (!a.count("type") && children.size() == 1 && InXsd(children[0], "complexType")) {
        auto& type = schema->complexTypes_.emplace_back(std::make_unique<ComplexType>());
        schema->elements_[a["name"]] = complexType(complexType, children[0], *type, false) ? type.get() : nullptr;
      } else {
        return nullptr;
      }
    } else {
      return nullptr;
    }
  }
  for (const auto& [element, typeName] : elementTypeNames) {
    const auto it = complexNames.find(typeName);
    if (it == complexNames.end()) return nullptr;
    schema->elements_[element] = it->second;
  }
  for (const auto& type : schema->complexTypes_) {
    for (auto& particle : type->particles) {
      if (particle.inline_) continue;
      // A name of no type this check knows (a simple type, say) leaves the element to libxml2.
      if (particle.ref) {
        const auto it = schema->elements_.find(particle.name);
        particle.type = it == schema->elements_.end() ? nullptr : it->second;
      } else {
        const auto it = complexNames.find(particle.typeName);
        particle.type = it == complexNames.end() ? nullptr : it->second;
      }
    }
  }
  return schema;
}

namespace {

// Whether `value` is certainly an xs:int (or xs:short): an optional minus and digits, in range.
bool CertainInteger(std::string_view value, int64_t low, int64_t high) {
  if (!value.empty() && value.front() == '-') value.remove_prefix(1);
  if (value.empty() || value.size() > 18) return false;
  int64_t n = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  return n <= high && -n >= low;
}

}  // namespace

bool PlainSchema::ValueFits(const SimpleType& type, const std::string& value) {
  switch (type.base) {
    case SimpleType::Base::kInt: return CertainInteger(value, INT32_MIN, INT32_MAX);
    case SimpleType::Base::kShort: return CertainInteger(value, INT16_MIN, INT16_MAX);
    case SimpleType::Base::kString: break;
  }
  if (type.minLength > 0 || type.maxLength < SIZE_MAX) {
    size_t characters = 0;  // the bytes that begin a character
    for (const char c : value) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < type.minLength || characters > type.maxLength) return false;
  }
  if (type.patterns.empty()) return true;
  for (const xmlRegexpPtr pattern : type.patterns)
    if (Lib().xmlRegexpExec(pattern, reinterpret_cast<const xmlChar*>(value.c_str())) == 1) return true;
  return false;
}

bool PlainSchema::ElementFits(const ComplexType& type, const BuiltElement& element) const {
  size_t required = 0;
  // Requests mostly give the attributes in the schema's order: each is looked for from after the
  // one found before it.
  const auto& declarations = type.attributes;
  size_t next = 0;
  for (const auto& [name, value] : element.attributes) {
    const ComplexType::Attribute* declared = nullptr;
    for (size_t k = 0, i = next; k < declarations.size(); ++k, ++i) {
      if (i >= declarations.size()) i = 0;
      if (declarations[i].name == name) {
        declared = &declarations[i];
        next = i + 1;
        break;
      }
    }
    if (!declared || !ValueFits(*declared->type, value)) return false;
    required += declared->required;
  }
  for (const auto& a : type.attributes) required -= a.required;
  if (required != 0) return false;  // a required attribute is missing
  if (type.empty) return element.children.empty() && element.closing.empty();
  const auto& children = element.children;
  auto fits = [&](const ComplexType::Particle& p, const BuiltElement& child) {
    return child.name == p.name && p.type && ElementFits(*p.type, child);
  };
  if (type.choice) {
    if (children.size() < type.min || children.size() > type.max) return false;
    for (const auto& child : children) {
      bool one = false;
      for (const auto& p : type.particles) one = one || fits(p, *child);
      if (!one) return false;
    }
    return true;
  }
  size_t child = 0;
  for (const auto& p : type.particles) {
    size_t count = 0;
    while (child < children.size() && count < p.max && children[child]->name == p.name) {
      if (!fits(p, *children[child])) return false;
      ++child;
      ++count;
    }
    if (count < p.min) return false;
  }
  return child == children.size();
}

bool PlainSchema::Fits(const BuiltElement& root) const {
  const auto it = elements_.find(root.name);
  return it != elements_.end() && it->second && ElementFits(*it->second, root);
}

}  // namespace kx::xml
