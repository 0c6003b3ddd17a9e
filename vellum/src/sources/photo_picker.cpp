#include "vellum/sources/photo_picker.hpp"

#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
#include "cache/regular_file.hpp"
#include "vellum/image/image_format.hpp"

namespace vellum {

void ScriptedItemProvider::loadDataRepresentation(const std::string& typeIdentifier, Completion completion) {
  {
    std::lock_guard lock(mutex_);
    requested_.push_back(typeIdentifier);
  }
  completion(data_, error_);
}

std::vector<std::string> ScriptedItemProvider::requestedTypeIdentifiers() const {
  std::lock_guard lock(mutex_);
  return requested_;
}

std::string typeIdentifierOfContents(const foundation::Bytes& bytes) {
  switch (imageFormat(bytes)) {
    case ImageFormat::PNG:
      return UniformType::png().identifier;
    case ImageFormat::JPEG:
      return UniformType::jpeg().identifier;
    case ImageFormat::GIF:
      return UniformType::gif().identifier;
    case ImageFormat::unknown:
      break;
  }
  return UniformType::data().identifier;
}

void FileItemProvider::loadDataRepresentation(const std::string& typeIdentifier, Completion completion) {
  boost::asio::post(foundation::ThreadPool::shared(), [path = fileURL_.path(), typeIdentifier,
                                                       completion = std::move(completion)] {
    std::optional<foundation::Bytes> bytes;
    std::exception_ptr error;
    try {
      bytes = readRegularFile(path);
      const std::string own = typeIdentifierOfContents(*bytes);
      const bool conforms = typeIdentifier == own || typeIdentifier == "public.data" || typeIdentifier == "public.item" ||
                            (typeIdentifier == "public.image" && own != UniformType::data().identifier);
      if (!conforms) {
        bytes.reset();
        throw UnavailableRepresentation("The picked file has no representation of type " + typeIdentifier + ".");
      }
    } catch (...) {
      error = std::current_exception();
    }
    completion(std::move(bytes), std::move(error));
  });
}

void FilePhotosPickerItem::loadData(Completion completion) {
  boost::asio::post(foundation::ThreadPool::shared(), [path = fileURL_.path(), completion = std::move(completion)] {
    using R = foundation::Result<std::optional<foundation::Bytes>, std::exception_ptr>;
    R result = [&] {
      try {
        return R::success(readRegularFile(path));
      } catch (...) {
        return R::failure(std::current_exception());
      }
    }();
    completion(std::move(result));
  });
}

}  // namespace vellum
