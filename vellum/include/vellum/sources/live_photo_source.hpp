#pragma once
// LivePhotoSource: the files of one live photo (a still image and its paired movie), each a LivePhotoResource:
// where its bytes come from and what kind of file it is. The kind names the extension a resource is stored
// under in the disk cache. File URLs stay network sources here: the loader downloads every resource as bytes.
//
// Example, given const vellum::URL& stillURL, const vellum::URL& movieURL:
//   vellum::LivePhotoSource source(std::vector<vellum::URL>{stillURL, movieURL});
//   bool movie = source.resources[1].referenceFileType == vellum::LivePhotoResource::FileType::mov();   // guessed from ".MOV"
//
// Thread rule: immutable values; share them freely.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vellum/sources/resource.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

struct LivePhotoResource {
  class FileType {
   public:
    enum class Kind { heic, mov, other };
    static FileType heic() { return FileType(Kind::heic, {}); }
    static FileType mov() { return FileType(Kind::mov, {}); }
    // A lower-case file extension, or the empty text when the kind cannot be told.
    static FileType other(std::string extension) { return FileType(Kind::other, std::move(extension)); }
    // From a URL's path extension, lower-cased: "mov" and "heic" name their kinds, anything else is `other`.
    static FileType guess(const URL& url);

    Kind kind() const { return kind_; }
    const std::string& otherExtension() const { return extension_; }
    // "heic", "mov", the `other` text, or for `other("")` the kind read from the bytes (none when unknown).
    std::optional<std::string> fileExtension(std::span<const std::uint8_t> data) const;

    friend bool operator==(const FileType&, const FileType&) = default;

   private:
    FileType(Kind kind, std::string extension) : kind_(kind), extension_(std::move(extension)) {}
    Kind kind_;
    std::string extension_;
  };

  // A network source holding a copy of `resource`; the kind guessed from its download URL when not given.
  explicit LivePhotoResource(const Resource& resource, std::optional<FileType> fileType = std::nullopt);
  // A network source over a new VL::ImageResource (the URL's own key when none is given).
  explicit LivePhotoResource(const URL& downloadURL, std::optional<std::string> cacheKey = std::nullopt,
                             std::optional<FileType> fileType = std::nullopt);
  // The source as given; the kind guessed from its url(), `other("")` when it has none.
  explicit LivePhotoResource(Source source, std::optional<FileType> fileType = std::nullopt);

  Source dataSource;
  FileType referenceFileType;
};

struct LivePhotoSource {
  explicit LivePhotoSource(std::vector<LivePhotoResource> list) : resources(std::move(list)) {}
  // Each resource as a network source (file URLs are not turned into providers), its kind guessed; null
  // pointers are skipped.
  explicit LivePhotoSource(const std::vector<const Resource*>& resources);
  // Each URL as a VL::ImageResource with the URL's own key, then as above.
  explicit LivePhotoSource(const std::vector<URL>& urls);

  std::vector<LivePhotoResource> resources;
};

// The kind of an ISO base media file from its header: "heic" for the major brand "heic", "mov" for "qt  ",
// none for any other brand, a header without "ftyp" at bytes 4 to 7, or fewer than 12 bytes.
std::optional<std::string> isoMediaFileExtension(std::span<const std::uint8_t> data);

}  // namespace vellum
