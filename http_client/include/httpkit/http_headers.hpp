#pragma once
// An ordered list of HTTP header fields whose names compare without regard to letter case, as HTTP defines
// them. Each name appears at most once: `set` replaces an existing field of the same name (in any case),
// keeping its position; a server answer with repeated fields is folded into one comma-separated value.
//
// Example:
//   httpkit::HTTPHeaders h;
//   h.set("Content-Type", "application/json");
//   auto type = h.value("content-type");  // "application/json"
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace httpkit {

class HTTPHeaders {
 public:
  using Field = std::pair<std::string, std::string>;

  HTTPHeaders() = default;
  HTTPHeaders(std::initializer_list<Field> fields);
  // The fields in their order, a repeated name (any letter case) folded into its first field with the
  // values joined by ", ", as an answer's repeated fields are. Linear in the number of fields.
  explicit HTTPHeaders(std::vector<Field> fields);

  // The value of the field named `name` (any letter case), or none.
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const { return value(name).has_value(); }

  // Adds the field, or replaces the value of the field already named `name` (any letter case).
  void set(std::string name, std::string value);
  // Adds the field, or appends ", value" to the field already named `name`.
  void append(std::string name, std::string value);
  // Removes the field named `name` (any letter case); true when there was one.
  bool remove(std::string_view name);

  const std::vector<Field>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  friend bool operator==(const HTTPHeaders&, const HTTPHeaders&) = default;

 private:
  std::vector<Field>::iterator find(std::string_view name);
  std::vector<Field>::const_iterator find(std::string_view name) const;

  std::vector<Field> fields_;
};

// True when the two header names are equal ignoring ASCII letter case.
bool headerNamesEqual(std::string_view a, std::string_view b);

}  // namespace httpkit
