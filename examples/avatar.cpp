#include <cmath>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "demo_sections.hpp"
#include "httpkit/api_client.hpp"
#include "testing/loopback_server.hpp"
#include "vellum/cache_serializer.hpp"
#include "vellum/disk_storage.hpp"
#include "vellum/image_codecs.hpp"
#include "vellum/memory_storage.hpp"
#include "vellum/options.hpp"

namespace demo {
namespace {

// A 64x64 avatar: a filled circle on a transparent square.
foundation::Bytes makeAvatarPNG() {
  vellum::Bitmap bitmap{.width = 64, .height = 64, .pixels = std::vector<std::uint8_t>(64 * 64 * 4)};
  for (std::uint32_t y = 0; y < 64; ++y) {
    for (std::uint32_t x = 0; x < 64; ++x) {
      const bool inside = std::hypot(x - 31.5, y - 31.5) < 30;
      auto* p = &bitmap.pixels[(y * 64 + x) * 4];
      p[0] = 40, p[1] = static_cast<std::uint8_t>(100 + y * 2), p[2] = 200, p[3] = inside ? 255 : 0;
    }
  }
  return *vellum::encodePNG(bitmap);
}

// The cache an application keeps for its avatars: decoded images in memory, encoded bytes on disk.
class AvatarCache {
 public:
  AvatarCache(httpkit::APIClient& client, std::shared_ptr<vellum::DiskStorage::Backend> disk)
      : client_(client), memory_(vellum::MemoryStorage::Config(32 << 20, 120)), disk_(std::move(disk)) {}

  vellum::ImagePtr load(const std::string& url, std::string& from) {
    if (auto image = memory_.value(url)) {
      from = "memory";
      return *image;
    }
    const auto& serializer = *vellum::DefaultCacheSerializer::defaultSerializer();
    if (auto bytes = disk_->value(url)) {
      if (auto image = serializer.image(*bytes, {})) {
        from = "disk";
        memory_.store(image, url);
        return image;
      }
    }
    const auto response = client_.send(httpkit::Request<void>{url});
    auto image = vellum::imageFromData(response.data);
    if (!image) throw std::runtime_error("the avatar is not an image");
    from = "network";
    memory_.store(image, url);
    if (auto bytes = serializer.data(image, response.data)) disk_->store(*bytes, url);
    return image;
  }

 private:
  httpkit::APIClient& client_;
  vellum::MemoryStorage::Backend<vellum::ImagePtr> memory_;
  std::shared_ptr<vellum::DiskStorage::Backend> disk_;
};

}  // namespace

void avatar() {
  testing_support::LoopbackServer server;
  server.on("GET", "/avatars/user_1.png",
            testing_support::Reply{200, foundation::toString(makeAvatarPNG()), "image/png", {}, {}, {}});
  server.start();
  httpkit::APIClient client(server.baseURL());
  const std::string url = server.baseURL() + "/avatars/user_1.png";

  auto disk = std::make_shared<vellum::DiskStorage::Backend>(vellum::DiskStorage::Config("demo-avatars", 50 << 20));
  disk->removeAll();  // start from an empty cache so the first load goes to the network
  std::string from;
  {
    AvatarCache cache(client, disk);
    for (int i = 0; i < 2; ++i) {
      const auto image = cache.load(url, from);
      std::cout << "avatar " << image->pixelSize().width << "x" << image->pixelSize().height << " from " << from
                << "\n";
    }
  }
  AvatarCache afterRestart(client, disk);  // a new memory cache, the same directory
  const auto image = afterRestart.load(url, from);
  std::cout << "after a restart: avatar from " << from << " (" << disk->totalSize() << " bytes in "
            << disk->directoryURL().string() << "); the server was asked " << server.hits("GET", "/avatars/user_1.png")
            << " time(s)\n";
}

}  // namespace demo
