#pragma once
// URL: an absolute address as the image library's sources name it: a web address to download, or a file.
// A parsed, immutable value; equal when the texts are equal.
//
// Example:
//   auto web = vellum::URL::parse("https://example.com/a.png?v=2");   // none for text that is no absolute URL
//   vellum::URL file = vellum::URL::fileURL("/tmp/a b.png");           // "file:///tmp/a%20b.png"
//   auto parts = file.pathComponents();                                     // {"/", "tmp", "a b.png"}
//
// Thread rule: a value; share it freely.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellum {

class URL {
 public:
  // The text as an absolute URL (a scheme is required); none otherwise.
  static std::optional<URL> parse(std::string_view text);
  // The file URL of an absolute path; every character a path cannot hold raw is percent-encoded.
  // REQUIRES: `path` starts with "/".
  static URL fileURL(std::string_view path);

  // The text the URL was made from (as written, query and fragment included).
  const std::string& absoluteString() const { return text_; }
  // Lower case.
  const std::string& scheme() const { return scheme_; }
  bool isFileURL() const { return scheme_ == "file"; }
  // The percent-decoded path.
  std::string path() const;
  // The path's components, percent-decoded: "/" first for an absolute path, then one per non-empty segment
  // (so a trailing slash adds none).
  std::vector<std::string> pathComponents() const;
  // The last component; empty when there is none.
  std::string lastPathComponent() const;
  // The text after the last "." of the last component; empty when it has none (a leading dot is a name).
  std::string pathExtension() const;
  // The query as written (still percent-encoded), without "?"; none when the URL has no "?".
  const std::optional<std::string>& query() const { return query_; }

  friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

 private:
  URL() = default;
  std::string text_;
  std::string scheme_;
  std::string encodedPath_;
  std::optional<std::string> query_;
};

}  // namespace vellum

template <>
struct std::hash<vellum::URL> {
  std::size_t operator()(const vellum::URL& url) const noexcept { return std::hash<std::string>{}(url.absoluteString()); }
};
