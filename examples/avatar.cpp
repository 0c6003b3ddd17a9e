#include <cmath>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "demo_sections.hpp"
#include "foundation/app_notifications.hpp"
#include "foundation/notification_center.hpp"
#include "testing/loopback_server.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/general/options.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

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

}  // namespace

void avatar() {
  testing_support::LoopbackServer server;
  server.on("GET", "/avatars/user_1.png",
            testing_support::Reply{200, foundation::toString(makeAvatarPNG()), "image/png", {}, {}, {}});
  server.start();
  const vellum::Source source = vellum::convertToSource(*vellum::URL::parse(server.baseURL() + "/avatars/user_1.png"));
  // The completion's file is on disk when the answer comes, and answers are not tied to a main loop.
  const vellum::VellumOptionsInfo options{vellum::VellumOptionsInfoItem::waitForCache(),
                                          vellum::VellumOptionsInfoItem::callbackQueue(vellum::CallbackQueue::untouch())};
  const auto show = [](const vellum::RetrieveImageResult& result) {
    static const char* const kWhere[] = {"the network", "memory", "disk"};
    std::cout << "avatar " << result.image->pixelSize().width << "x" << result.image->pixelSize().height << " from "
              << kWhere[static_cast<int>(result.cacheType)] << "\n";
  };

  auto downloader = vellum::ImageDownloader::make("demo");
  {
    auto cache = vellum::ImageCache::make("demo-avatars");
    cache->clearCacheAsync().wait();  // start empty, so the first load goes to the network
    auto manager = vellum::VellumManager::make(downloader, cache);
    for (int i = 0; i < 2; ++i) show(manager->retrieveImageAsync(source, options).get());
  }
  // A restart: a new cache object with the same name, whose memory is empty and whose directory is not.
  auto cache = vellum::ImageCache::make("demo-avatars");
  auto manager = vellum::VellumManager::make(downloader, cache);
  std::cout << "after a restart: ";
  show(manager->retrieveImageAsync(source, options).get());
  std::cout << "  (" << cache->diskStorage()->totalSize() << " bytes in " << cache->diskStorage()->directoryURL().string()
            << "); the server was asked " << server.hits("GET", "/avatars/user_1.png") << " time(s)\n";
  // Linux has no application activation: the app says when it stops being active, and every live cache
  // sweeps its expired files then.
  foundation::NotificationCenter::defaultCenter().post(std::string(foundation::kApplicationWillResignActive));
  std::cout << "resigned active: each live image cache sweeps its expired files\n";
}

}  // namespace demo
