// Decodes a PNG, keeps it in a memory and disk image cache, and reads it back from the disk.
#include <cstdio>

#include <vellum/vellum.hpp>

int main() {
  const vellum::Bitmap pixels{.width = 2, .height = 1, .pixels = {255, 0, 0, 255, 0, 0, 255, 255}};
  const foundation::Bytes png = vellum::encodePNG(pixels).value();
  const vellum::ImagePtr image = vellum::imageFromData(png);  // null when the bytes are not an image

  auto cache = vellum::ImageCache::make("consumer-example");
  cache->storeAsync(image, png, "red-and-blue", vellum::VellumParsedOptionsInfo{}).get();
  cache->clearMemoryCache();
  // Set on the main queue, which runs on a thread of its own: nothing here drives it.
  const vellum::ImageCacheResult found = cache->retrieveImageAsync("red-and-blue", std::nullopt).get();
  std::printf("%ux%u from the %s\n", found.image()->bitmap()->width, found.image()->bitmap()->height,
              found.cacheType() == vellum::CacheType::disk ? "disk" : "memory");
}
