// XSD schemas: reading a schema file, compiling it, the cache of compiled schemas shared by every
// thread, and validation.
#include "runtime/xml_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "runtime/file_watch.h"

namespace kx::xml {
namespace {

// Prepares libxml2's built-in schema types once, before the first schema is compiled: a process
// that compiles none does not pay for them.
void InitSchemaTypes() {
  static const bool ready = (Lib().xmlSchemaInitTypes(), true);
  (void)ready;
}

// Why a schema file cannot be used: the reason, naming the file.
std::string SchemaFileReason(const std::string& path, const std::string& what) {
  return "The schema file \"" + path + "\" " + what;
}

// The state of a file as one `stat` sees it; a file in another state is compiled anew.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{}, changed{};

  explicit FileIdentity(const struct stat& st)
      : device(st.st_dev), inode(st.st_ino), size(st.st_size), modified(st.st_mtim), changed(st.st_ctim) {}
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
           changed.tv_nsec == o.changed.tv_nsec;
  }
};

// Closes a file descriptor.
struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

// Reads the regular file at `path` into `content`, with the identity of what was read; false with
// a reason naming the file.
bool ReadSchemaFile(const std::string& path, std::string& content, std::optional<FileIdentity>& identity,
                    std::string& reason) {
  // Non-blocking, so that a named pipe in the schema's place cannot hold the call.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
    return false;
  }
  FileCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") +
                                        (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file"));
    return false;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
      return false;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  identity.emplace(st);
  return true;
}

// Compiles the schema file at `path`; nullptr with a reason naming the file on failure.
// The schema's plain check comes in `plain` when the schema has the common shape.
std::unique_ptr<xmlSchema, SchemaFree> CompileSchemaFile(const std::string& path,
                                                         std::optional<FileIdentity>& identity,
                                                         std::unique_ptr<PlainSchema>& plain, std::string& reason) {
  InitSchemaTypes();
  std::string content;
  if (!ReadSchemaFile(path, content, identity, reason)) return nullptr;
  if (content.size() > static_cast<size_t>(INT32_MAX)) {
    reason = SchemaFileReason(path, "is too large");
    return nullptr;
  }
  ErrorCollector errors;
  const Doc schemaDoc(Lib().xmlReadMemory(content.data(), static_cast<int>(content.size()), path.c_str(), nullptr,
                                    XML_PARSE_NONET));
  if (!schemaDoc) {
    const std::string why = !errors.message.empty() ? errors.message
                            : content.empty()       ? std::string("Document is empty")
                                                    : std::string("it is not well formed");
    reason = SchemaFileReason(path, "is not a valid schema: " + why);
    return nullptr;
  }
  // Read before libxml2 compiles the document, which drops its comments and blank texts.
  plain = PlainSchema::Compile(schemaDoc.get());
  const SchemaParserContext parser(Lib().xmlSchemaNewDocParserCtxt(schemaDoc.get()));
  if (!parser) throw std::bad_alloc();
  std::unique_ptr<xmlSchema, SchemaFree> schema(Lib().xmlSchemaParse(parser.get()));
  if (!schema) {
    reason = SchemaFileReason(
        path, errors.message.empty() ? "is not a valid schema" : "is not a valid schema: " + errors.message);
    return nullptr;
  }
  return schema;
}

}  // namespace

void SchemaFree::operator()(_xmlSchema* schema) const { Lib().xmlSchemaFree(schema); }

Schema::Schema(_xmlSchema* schema, std::unique_ptr<PlainSchema> plain) : schema_(schema), plain_(std::move(plain)) {}

Schema::~Schema() {
  for (xmlSchemaValidCtxtPtr valid : idle_) Lib().xmlSchemaFreeValidCtxt(valid);
}

std::unique_ptr<Schema> Schema::Load(const std::string& path, std::string& reason) {
  std::optional<FileIdentity> identity;
  std::unique_ptr<PlainSchema> plain;
  auto schema = CompileSchemaFile(path, identity, plain, reason);
  return schema ? std::unique_ptr<Schema>(new Schema(schema.release(), std::move(plain))) : nullptr;
}

std::shared_ptr<const Schema> Schema::Cached(const std::string& path, std::string& reason) {
  return ThroughThreadMemory<Schema>(path, [&] { return LookAt(path, reason); });
}

Looked<Schema> Schema::LookAt(const std::string& path, std::string& reason) {
  struct Entry {
    FileIdentity identity;
    std::shared_ptr<const Schema> schema;
    FileMark mark;  // taken before the file was last looked at
  };
  static std::mutex mutex;
  static std::map<std::string, Entry> cache;
  // Bounds the cache when very many schema paths come and go.
  constexpr size_t kMaxEntries = 64;

  {
    // A file noticed unchanged since it was last looked at is not looked at again.
    std::lock_guard lock(mutex);
    const auto it = cache.find(path);
    if (it != cache.end() && UnchangedSince(it->second.mark)) return {it->second.schema, it->second.mark, true};
  }
  const FileMark mark = MarkFile(path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    reason = SchemaFileReason(path, std::string("cannot be read: ") + std::strerror(errno));
    return {};
  }
  {
    std::lock_guard lock(mutex);
    const auto it = cache.find(path);
    if (it != cache.end() && it->second.identity == FileIdentity(st)) {
      it->second.mark = mark;
      return {it->second.schema, mark, true};
    }
  }
  // Compiled outside the lock: other schemas stay available meanwhile.
  std::optional<FileIdentity> identity;
  std::unique_ptr<PlainSchema> plain;
  auto compiled = CompileSchemaFile(path, identity, plain, reason);
  if (!compiled) return {};
  std::shared_ptr<const Schema> schema(new Schema(compiled.release(), std::move(plain)));
  std::lock_guard lock(mutex);
  if (cache.size() >= kMaxEntries && !cache.count(path)) cache.clear();
  cache.insert_or_assign(path, Entry{*identity, schema, mark});
  return {schema, mark, true};
}

bool Schema::PlainlyValid(const Document& doc) const { return doc.built_ && plain_ && plain_->Fits(*doc.built_); }

bool Schema::Validate(const Document& doc, std::string& reason) const {
  if (doc.built_) {
    if (PlainlyValid(doc)) return true;
    // libxml2's verdict and reason, on the tree it reads from the document's text.
    const auto parsed = Document::ParseText(doc.Serialize(), reason, false);
    return parsed && Validate(*parsed, reason);
  }
  // Each call has its own validation context, and libxml2 gives that context its own string
  // dictionary: threads share no dictionary they write to (the compiled schema's is only read).
  ErrorCollector errors;
  ValidationContext valid;
  {
    std::lock_guard lock(idleMutex_);
    if (!idle_.empty()) {
      valid.reset(idle_.back());
      idle_.pop_back();
    }
  }
  if (!valid) valid.reset(Lib().xmlSchemaNewValidCtxt(schema_.get()));
  if (!valid) throw std::bad_alloc();
  const int rc = Lib().xmlSchemaValidateDoc(valid.get(), doc.doc_.get());
  {
    // Each validation starts from a cleared state, so a context is kept whatever it found.
    constexpr size_t kMaxIdle = 8;
    std::lock_guard lock(idleMutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(valid.release());
  }
  if (rc == 0) return true;
  reason = errors.message.empty() ? "The document is not valid against its schema" : errors.message;
  return false;
}

}  // namespace kx::xml
