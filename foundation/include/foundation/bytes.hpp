#pragma once
// Raw byte buffers as every library of the project passes them.
//
// SharedBytes is a buffer that no one changes once made, so that its copies can share one allocation: the
// bytes of one download reach every caller of it without a copy per caller.
//
// Example, given foundation::Bytes received:
//   foundation::SharedBytes body(std::move(received));   // takes the vector over, no copy
//   auto forCaller = body;                                // the same allocation
//   const foundation::Bytes& view = forCaller;            // read as a plain vector
//   std::size_t size = view.size();
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class SharedBytes {
 public:
  using const_iterator = Bytes::const_iterator;

  SharedBytes() = default;
  // Implicit: wherever a Bytes was passed, the same vector can now be handed over (moved, or copied once).
  SharedBytes(Bytes bytes) : buffer_(std::make_shared<const Bytes>(std::move(bytes))) {}
  explicit SharedBytes(std::shared_ptr<const Bytes> buffer) : buffer_(std::move(buffer)) {}

  const Bytes& bytes() const { return buffer_ ? *buffer_ : none(); }
  operator const Bytes&() const { return bytes(); }
  std::size_t size() const { return bytes().size(); }
  bool empty() const { return bytes().empty(); }
  const std::uint8_t* data() const { return bytes().data(); }
  const_iterator begin() const { return bytes().begin(); }
  const_iterator end() const { return bytes().end(); }
  std::uint8_t operator[](std::size_t index) const { return bytes()[index]; }

  // True when both hold the very same allocation (not merely equal bytes).
  bool sharesBufferWith(const SharedBytes& other) const { return buffer_ && buffer_ == other.buffer_; }

  friend bool operator==(const SharedBytes& a, const SharedBytes& b) { return a.bytes() == b.bytes(); }
  friend bool operator==(const SharedBytes& a, const Bytes& b) { return a.bytes() == b; }

 private:
  static const Bytes& none() {
    static const Bytes empty;
    return empty;
  }
  std::shared_ptr<const Bytes> buffer_;
};

}  // namespace foundation
