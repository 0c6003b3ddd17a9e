#include "vellum/sources/url.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

namespace vellum {

std::optional<URL> URL::parse(std::string_view text) {
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return std::nullopt;
  URL url;
  url.text_ = std::string(text);
  url.scheme_ = std::string(parsed->scheme());
  for (char& c : url.scheme_) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  url.encodedPath_ = std::string(parsed->encoded_path());
  if (parsed->has_query()) url.query_ = std::string(parsed->encoded_query());
  return url;
}

URL URL::fileURL(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool raw = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     std::string_view("-._~/!$&'()*+,;=:@").find(ch) != std::string_view::npos;
    if (raw) {
      text += ch;
    } else {
      text += '%';
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
  }
  // Every character that could break the syntax was encoded above, so this parse cannot fail.
  return *parse(text);
}

std::string URL::path() const {
  return std::string(boost::urls::pct_string_view(boost::urls::string_view(encodedPath_)).decode());
}

std::vector<std::string> URL::pathComponents() const {
  std::vector<std::string> components;
  if (!encodedPath_.empty() && encodedPath_.front() == '/') components.emplace_back("/");
  std::size_t start = 0;
  while (start <= encodedPath_.size()) {
    std::size_t end = encodedPath_.find('/', start);
    if (end == std::string::npos) end = encodedPath_.size();
    if (end > start) {
      const std::string_view segment(encodedPath_.data() + start, end - start);
      components.emplace_back(boost::urls::pct_string_view(boost::urls::string_view(segment.data(), segment.size()))
                                  .decode());
    }
    start = end + 1;
  }
  return components;
}

std::string URL::lastPathComponent() const {
  auto components = pathComponents();
  return components.empty() ? std::string() : components.back();
}

std::string URL::pathExtension() const {
  const std::string last = lastPathComponent();
  const std::size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || last == "/") return {};
  return last.substr(dot + 1);
}

}  // namespace vellum
