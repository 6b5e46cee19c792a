// The request head parser: strict where leniency would let a request mean two
// things (folded lines, two lengths, chunked bodies), and bounded everywhere.
#include "http_request.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace mokctl::view {
namespace {

constexpr std::string_view kCrlf = "\r\n";

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
  });
}

bool has_token(std::string_view list, std::string_view token) {
  const std::string l = lower(list);
  std::string_view rest = l;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    if (trim(rest.substr(0, comma)) == token) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

ParsedHead refuse(int status, const char* reason) { return {std::nullopt, {status, reason}}; }

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (n == name) return &v;
  }
  return nullptr;
}

std::size_t head_end(std::string_view bytes) {
  const auto at = bytes.find("\r\n\r\n");
  return at == std::string_view::npos ? 0 : at + 4;
}

ParsedHead parse_head(std::string_view head, const HttpLimits& limits) {
  if (head.size() > limits.head) return refuse(431, "The request's headers are too large.");
  auto eol = head.find(kCrlf);
  if (eol == std::string_view::npos) return refuse(400, "The request is incomplete.");
  const std::string_view line = head.substr(0, eol);
  const auto sp1 = line.find(' ');
  const auto sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return refuse(400, "The request line is malformed.");
  HttpRequest r;
  r.method = std::string(line.substr(0, sp1));
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!is_token(r.method)) return refuse(400, "The request's method is malformed.");
  if (target.size() > limits.target) return refuse(414, "The address is too long.");
  if (target.empty() || target.front() != '/' || target.find(' ') != std::string_view::npos) {
    return refuse(400, "The request's address is malformed.");
  }
  if (version == "HTTP/1.0") {
    r.keep_alive = false;
  } else if (version != "HTTP/1.1") {
    return refuse(505, "Only HTTP/1.0 and 1.1 are spoken here.");
  }
  const auto q = target.find('?');
  r.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));

  std::optional<std::size_t> length;
  bool close = false, keep_alive = false;  // "close" wins over "keep-alive"
  std::string_view rest = head.substr(eol + 2);
  while (!rest.empty() && !rest.starts_with(kCrlf)) {
    eol = rest.find(kCrlf);
    if (eol == std::string_view::npos) return refuse(400, "The request is incomplete.");
    const std::string_view h = rest.substr(0, eol);
    rest.remove_prefix(eol + 2);
    const auto colon = h.find(':');
    // A folded line (leading space) or a space before the colon could be read
    // two ways by two parsers: neither is accepted.
    if (colon == std::string_view::npos || !is_token(h.substr(0, colon))) {
      return refuse(400, "A header line is malformed.");
    }
    if (r.headers.size() == limits.headers) return refuse(431, "The request has too many headers.");
    r.headers.emplace_back(lower(h.substr(0, colon)), std::string(trim(h.substr(colon + 1))));
    const auto& [name, value] = r.headers.back();
    if (name == "transfer-encoding") return refuse(501, "Chunked request bodies are not taken; send a length.");
    if (name == "content-length") {
      std::size_t n = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (value.empty() || ec == std::errc::result_out_of_range) {
        if (ec == std::errc::result_out_of_range) return refuse(413, "The request's body is too large.");
        return refuse(400, "The request's length is malformed.");
      }
      if (ec != std::errc() || end != value.data() + value.size() || (length && *length != n)) {
        return refuse(400, "The request's length is malformed.");
      }
      length = n;
    }
    if (name == "connection") {
      close = close || has_token(value, "close");
      keep_alive = keep_alive || has_token(value, "keep-alive");
    }
  }
  r.keep_alive = !close && (r.keep_alive || keep_alive);
  r.content_length = length.value_or(0);
  if (r.content_length > limits.body) return refuse(413, "The request's body is too large.");
  return {std::move(r), {}};
}

std::optional<std::string> url_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return out;
}

bool form_has(std::string_view form, std::string_view name) {
  while (!form.empty()) {
    const auto amp = form.find('&');
    const std::string_view pair = form.substr(0, amp);
    const std::string_view key = pair.substr(0, pair.find('='));
    if (url_decode(key) == name) return true;
    if (amp == std::string_view::npos) break;
    form.remove_prefix(amp + 1);
  }
  return false;
}

std::string form_value(std::string_view form, std::string_view name) {
  while (!form.empty()) {
    const auto amp = form.find('&');
    const std::string_view pair = form.substr(0, amp);
    const auto eq = pair.find('=');
    if (url_decode(pair.substr(0, eq)) == name) {
      return eq == std::string_view::npos ? std::string() : url_decode(pair.substr(eq + 1)).value_or("");
    }
    if (amp == std::string_view::npos) break;
    form.remove_prefix(amp + 1);
  }
  return {};
}

std::optional<double> download_seconds(const std::string& text) {
  if (text.empty()) return 5.0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(seconds > 0) || seconds > 3600) return std::nullopt;
  return seconds;
}

}  // namespace mokctl::view
