// The reading of a request: the checks of its head (framing, fields, target) before anything else
// looks at it, the reasons for a read that failed, and the decoding of its path and query.
#include "service/http_connection.h"

#include <strings.h>

#include <string>
#include <string_view>

namespace kx::service {
namespace {

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::pair<int, std::string> CheckHead(const http::request_parser<http::string_body>& parser,
                                      const HttpLimits& limits) {
  const auto& msg = parser.get();
  size_t fields = 0, hosts = 0, lengths = 0, encodings = 0, authorizations = 0;
  for (const auto& f : msg) {
    ++fields;
    if (HasControl(f.name_string()) || HasControl(f.value()))
      return {400, "a header field holds a control character"};
    switch (f.name()) {
      case http::field::host: ++hosts; break;
      case http::field::content_length:
        ++lengths;
        // One length in digits, not a list of them, whatever a lenient reader would make of it.
        if (f.value().empty() || f.value().find_first_not_of("0123456789") != std::string_view::npos)
          return {400, "the Content-Length must be one number"};
        break;
      case http::field::authorization: ++authorizations; break;
      case http::field::transfer_encoding:
        ++encodings;
        if (!SameText(f.value(), "chunked")) return {400, "the only transfer coding accepted is chunked"};
        break;
      default: break;
    }
  }
  if (fields > limits.maxHeaders)
    return {431, "the request has more than " + std::to_string(limits.maxHeaders) + " header fields"};
  if (lengths > 1) return {400, "the request has several Content-Length fields"};
  if (encodings > 1) return {400, "the request has several Transfer-Encoding fields"};
  if (lengths && encodings) return {400, "the request has both Content-Length and Transfer-Encoding"};
  if (authorizations > 1) return {400, "the request has several Authorization fields"};
  if (hosts > 1 || (hosts == 0 && msg.version() >= 11)) return {400, "the request must have one Host field"};
  if (HasControl(msg.target()) || msg.target().empty() || msg.target()[0] != '/')
    return {400, "the request target must be a path"};
  return {0, {}};
}

std::pair<int, std::string> ReadFailure(const beast::error_code& ec) {
  if (ec == http::error::header_limit) return {431, "the request head is larger than the limit"};
  if (ec == http::error::body_limit) return {413, "the request body is larger than the limit"};
  // The parser's own findings (a bad method, target, field, length, chunk or line ending) are the
  // client's fault; a stream that ended or broke is no request at all.
  if (ec.category() == make_error_code(http::error::bad_target).category() && ec != http::error::end_of_stream &&
      ec != http::error::partial_message && ec != http::error::need_more)
    return {400, "the request is malformed: " + ec.message()};
  return {0, {}};
}

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (SameText(n, name)) return &v;
  return nullptr;
}

std::string PercentDecoded(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    int hi = 0, lo = 0;
    if (c == '%' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 && (lo = HexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += plusIsSpace && c == '+' ? ' ' : c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> QueryParameters(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    out.emplace_back(PercentDecoded(pair.substr(0, eq), true),
                     eq == std::string_view::npos ? std::string() : PercentDecoded(pair.substr(eq + 1), true));
  }
  return out;
}

}  // namespace kx::service
