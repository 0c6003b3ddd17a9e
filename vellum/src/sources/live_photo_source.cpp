#include "vellum/sources/live_photo_source.hpp"

#include <cstring>

namespace vellum {

LivePhotoResource::FileType LivePhotoResource::FileType::guess(const URL& url) {
  std::string extension = url.pathExtension();
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (extension == "mov") return mov();
  if (extension == "heic") return heic();
  return other(std::move(extension));
}

std::optional<std::string> LivePhotoResource::FileType::fileExtension(std::span<const std::uint8_t> data) const {
  switch (kind_) {
    case Kind::heic:
      return "heic";
    case Kind::mov:
      return "mov";
    case Kind::other:
      break;
  }
  if (!extension_.empty()) return extension_;
  return isoMediaFileExtension(data);
}

std::optional<std::string> isoMediaFileExtension(std::span<const std::uint8_t> data) {
  if (data.size() < 12) return std::nullopt;
  const auto text = [&data](std::size_t offset) { return std::string_view(reinterpret_cast<const char*>(data.data()) + offset, 4); };
  if (text(4) != "ftyp") return std::nullopt;
  if (text(8) == "heic") return "heic";
  if (text(8) == "qt  ") return "mov";
  return std::nullopt;
}

LivePhotoResource::LivePhotoResource(const Resource& resource, std::optional<FileType> fileType)
    : dataSource(Source::network(resource)),
      referenceFileType(fileType ? std::move(*fileType) : FileType::guess(resource.downloadURL())) {}

LivePhotoResource::LivePhotoResource(const URL& downloadURL, std::optional<std::string> cacheKey,
                                     std::optional<FileType> fileType)
    : LivePhotoResource(VL::ImageResource(downloadURL, std::move(cacheKey)), std::move(fileType)) {}

LivePhotoResource::LivePhotoResource(Source source, std::optional<FileType> fileType)
    : dataSource(std::move(source)),
      referenceFileType(fileType               ? std::move(*fileType)
                        : dataSource.url()     ? FileType::guess(*dataSource.url())
                                               : FileType::other({})) {}

LivePhotoSource::LivePhotoSource(const std::vector<const Resource*>& resources) {
  for (const Resource* resource : resources) {
    if (resource) this->resources.emplace_back(*resource);
  }
}

LivePhotoSource::LivePhotoSource(const std::vector<URL>& urls) {
  for (const URL& url : urls) resources.emplace_back(url);
}

}  // namespace vellum
