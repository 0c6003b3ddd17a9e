#include <algorithm>
#include <cctype>

#include "fake_frontend_api/fake_frontend_api.hpp"
#include "routes.hpp"

namespace fake_frontend_api {
namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::optional<std::string> find(const Pairs& pairs, const std::string& name) {
  for (const auto& [key, value] : pairs)
    if (key == name) return value;
  return std::nullopt;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace detail {

std::string percentDecode(const std::string& text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plusIsSpace && c == '+' ? ' ' : c);
  }
  return out;
}

Pairs parsePairs(const std::string& text, bool plusIsSpace) {
  Pairs pairs;
  std::size_t start = 0;
  while (!text.empty() && start <= text.size()) {
    std::size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (!item.empty()) {
      std::size_t eq = item.find('=');
      if (eq == std::string::npos)
        pairs.emplace_back(percentDecode(item, plusIsSpace), "");
      else
        pairs.emplace_back(percentDecode(item.substr(0, eq), plusIsSpace),
                           percentDecode(item.substr(eq + 1), plusIsSpace));
    }
    start = end + 1;
  }
  return pairs;
}

}  // namespace detail

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

std::optional<std::string> RecordedRequest::queryValue(const std::string& name) const { return find(query, name); }

Pairs RecordedRequest::form() const { return detail::parsePairs(body, true); }

std::optional<std::string> RecordedRequest::formValue(const std::string& name) const { return find(form(), name); }

Answer Answer::json(int status, const nlohmann::json& body) {
  Answer answer;
  answer.status = status;
  answer.body = body.dump();
  return answer;
}

Answer Answer::raw(int status, std::string body, std::string contentType) {
  Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.contentType = std::move(contentType);
  return answer;
}

Answer Answer::error(int status, const std::string& code, const std::string& message, const std::string& traceId) {
  nlohmann::json body = {{"errors", nlohmann::json::array({{{"code", code},
                                                            {"message", message},
                                                            {"long_message", message},
                                                            {"meta", nlohmann::json::object()}}})}};
  if (!traceId.empty()) body["vadar_trace_id"] = traceId;
  return json(status, body);
}

}  // namespace fake_frontend_api
