#include "url_builder.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include "httpkit/url_error.hpp"

namespace httpkit {

namespace {

// Schemes are named in any letter case ("HTTPS://" is as good as "https://").
bool isHTTPScheme(const boost::urls::url_view& url) {
  return url.scheme_id() == boost::urls::scheme::http || url.scheme_id() == boost::urls::scheme::https;
}

// A view into `text`: nothing is copied for a URL that is only read.
boost::urls::url_view parseAbsolute(const std::string& text, std::string_view what) {
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed) throw URLError(URLError::Code::badURL, "the " + std::string(what) + " is not a valid URL", text);
  if (!isHTTPScheme(*parsed)) {
    throw URLError(URLError::Code::badURL, "the " + std::string(what) + " is not an http or https URL", text);
  }
  if (!parsed->has_authority() || parsed->encoded_host().empty()) {
    throw URLError(URLError::Code::badURL, "the " + std::string(what) + " has no host", text);
  }
  return *parsed;
}

// The base's scheme, authority and path without its trailing "/"s: what every relative path is joined to.
std::string baseHead(const boost::urls::url_view& base) {
  std::string head = std::string(base.scheme()) + "://" + std::string(base.encoded_authority()) +
                     std::string(base.encoded_path());
  while (head.back() == '/') head.pop_back();  // the authority is never empty, so neither is the head
  return head;
}

}  // namespace

BaseURL::BaseURL(std::optional<std::string> text) : text_(std::move(text)) {
  if (!text_) return;
  try {
    head_ = baseHead(parseAbsolute(*text_, "base URL"));
  } catch (const URLError&) {
    // Not valid: each call that needs it fails with the error, as it would have without this.
  }
}

std::string encodeQueryComponent(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const bool unreserved = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                            c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || std::string_view("!$'()*,;:@/?").find(c) != std::string_view::npos) {
      out += c;
    } else {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 0x0F];
    }
  }
  return out;
}

std::string checkedAbsoluteURL(const std::string& url, std::string_view what) {
  parseAbsolute(url, what);
  return url;
}

std::string buildURL(const std::optional<std::string>& baseURL, std::string_view path,
                     const std::vector<QueryItem>& query) {
  return buildURL(BaseURL(baseURL), path, query);
}

std::string buildURL(const BaseURL& base, std::string_view path, const std::vector<QueryItem>& query) {
  const std::string given = path.empty() ? std::string("/") : std::string(path);
  auto reference = boost::urls::parse_uri_reference(given);
  if (!reference) throw URLError(URLError::Code::badURL, "the path \"" + given + "\" is not a valid URL path");

  // Every part below has been validated by the parser, so the URL is assembled as text: the path goes out
  // exactly as the caller encoded it.
  std::string head;
  std::string queryText;
  bool hasQuery = false;
  if (reference->has_scheme()) {
    const boost::urls::url_view absolute = parseAbsolute(given, "path");
    head = std::string(absolute.scheme()) + "://" + std::string(absolute.encoded_authority()) +
           std::string(absolute.encoded_path());
    hasQuery = absolute.has_query();
    queryText = absolute.encoded_query();
  } else {
    if (reference->has_authority()) {
      throw URLError(URLError::Code::badURL, "the path \"" + given + "\" names a host but no scheme");
    }
    if (!base.text()) {
      throw URLError(URLError::Code::badURL,
                     "the path \"" + given + "\" is relative and the client has no base URL");
    }
    head = base.head() ? *base.head() : baseHead(parseAbsolute(*base.text(), "base URL"));
    const std::string_view relative = reference->encoded_path();
    if (relative.empty() || relative.front() != '/') head += '/';
    head += relative;
    hasQuery = reference->has_query();
    queryText = reference->encoded_query();
  }

  for (const auto& item : query) {
    if (!queryText.empty()) queryText += '&';
    hasQuery = true;
    queryText += encodeQueryComponent(item.name);
    if (item.value) {
      queryText += '=';
      queryText += encodeQueryComponent(*item.value);
    }
  }
  return hasQuery ? head + "?" + queryText : head;
}

}  // namespace httpkit
