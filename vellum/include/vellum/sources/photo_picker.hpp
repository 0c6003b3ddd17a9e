#pragma once
// What a photo picker hands over, as interfaces: Linux has no system picker, so an app plugs its own in.
// - UniformType: a type identifier such as "public.jpeg".
// - ItemProvider: loads the bytes of one representation of a picked item by type identifier.
// - PickerResult: a picked item (its asset identifier when the picker knows one, and its item provider).
// - PhotosPickerItem: an item of a declarative picker (its identifier when it has one); loads its data.
// The library ships scripted implementations (tests give the answers) and file-backed ones (a picked file).
//
// Example, given const vellum::URL& url:
//   vellum::PickerResult result{std::nullopt, std::make_shared<vellum::FileItemProvider>(url)};
//   vellum::PHPickerResultImageDataProvider provider(result, vellum::UniformType::image());
//
// Thread rule: loads may be called from any thread; each answers exactly once, on a thread of its choosing.
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

struct UniformType {
  std::string identifier;
  static UniformType image() { return {"public.image"}; }
  static UniformType jpeg() { return {"public.jpeg"}; }
  static UniformType png() { return {"public.png"}; }
  static UniformType gif() { return {"com.compuserve.gif"}; }
  static UniformType data() { return {"public.data"}; }
  friend bool operator==(const UniformType&, const UniformType&) = default;
};

class ItemProvider {
 public:
  // Data or none, and an error or none: a picker may report both, or neither.
  using Completion = std::function<void(std::optional<foundation::Bytes>, std::exception_ptr)>;
  virtual ~ItemProvider() = default;
  virtual void loadDataRepresentation(const std::string& typeIdentifier, Completion completion) = 0;
};

struct PickerResult {
  std::optional<std::string> assetIdentifier;
  std::shared_ptr<ItemProvider> itemProvider;
};

class PhotosPickerItem {
 public:
  // Success with data or with none, or a failure.
  using Completion = std::function<void(foundation::Result<std::optional<foundation::Bytes>, std::exception_ptr>)>;
  virtual ~PhotosPickerItem() = default;
  virtual std::optional<std::string> itemIdentifier() const = 0;
  virtual void loadData(Completion completion) = 0;
};

// Answers every load at once, on the calling thread, with what the test set, and records the type
// identifiers asked for.
class ScriptedItemProvider final : public ItemProvider {
 public:
  ScriptedItemProvider(std::optional<foundation::Bytes> data, std::exception_ptr error)
      : data_(std::move(data)), error_(std::move(error)) {}
  void loadDataRepresentation(const std::string& typeIdentifier, Completion completion) override;
  std::vector<std::string> requestedTypeIdentifiers() const;

 private:
  std::optional<foundation::Bytes> data_;
  std::exception_ptr error_;
  mutable std::mutex mutex_;
  std::vector<std::string> requested_;
};

class ScriptedPhotosPickerItem final : public PhotosPickerItem {
 public:
  ScriptedPhotosPickerItem(std::optional<std::string> identifier,
                           foundation::Result<std::optional<foundation::Bytes>, std::exception_ptr> answer)
      : identifier_(std::move(identifier)), answer_(std::move(answer)) {}
  std::optional<std::string> itemIdentifier() const override { return identifier_; }
  void loadData(Completion completion) override { completion(answer_); }

 private:
  std::optional<std::string> identifier_;
  foundation::Result<std::optional<foundation::Bytes>, std::exception_ptr> answer_;
};

// The type identifier an image file's bytes give: "public.png", "public.jpeg", "com.compuserve.gif", or
// "public.data" for anything else.
std::string typeIdentifierOfContents(const foundation::Bytes& bytes);

// A picked file, read on the shared pool as the local-file provider reads (regular files only). A load asks
// for a type: the file's own, "public.image" when the file is an image, or "public.data" and "public.item"
// for any file; another type fails with FileItemProvider::UnavailableRepresentation.
class FileItemProvider final : public ItemProvider {
 public:
  struct UnavailableRepresentation : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  explicit FileItemProvider(URL fileURL) : fileURL_(std::move(fileURL)) {}
  const URL& fileURL() const { return fileURL_; }
  void loadDataRepresentation(const std::string& typeIdentifier, Completion completion) override;

 private:
  URL fileURL_;
};

// A picked file as a declarative picker item.
class FilePhotosPickerItem final : public PhotosPickerItem {
 public:
  explicit FilePhotosPickerItem(URL fileURL, std::optional<std::string> identifier = std::nullopt)
      : fileURL_(std::move(fileURL)), identifier_(std::move(identifier)) {}
  std::optional<std::string> itemIdentifier() const override { return identifier_; }
  void loadData(Completion completion) override;

 private:
  URL fileURL_;
  std::optional<std::string> identifier_;
};

}  // namespace vellum
