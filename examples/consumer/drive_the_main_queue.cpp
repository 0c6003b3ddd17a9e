// Drives the main queue from the program's own main thread: a worker stores an image in a cache and asks for it
// back, and the completion runs on this thread, which runs the queue until the completion stops it.
#include <cstdio>
#include <thread>

#include <vellum/vellum.hpp>

int main() {
  // First, before anything can post to the main queue (making an image cache may): from here on this thread is
  // the main queue, and no thread of its own is started for it.
  foundation::MainQueue::poll();
  const std::thread::id mainThread = std::this_thread::get_id();

  auto cache = vellum::ImageCache::make("consumer-main-queue");
  const vellum::Bitmap pixels{.width = 1, .height = 1, .pixels = {0, 128, 255, 255}};
  const foundation::Bytes png = vellum::encodePNG(pixels).value();

  bool readBackHere = false;
  const auto found = [&](foundation::Result<vellum::ImageCacheResult, vellum::VellumError> result) {
    readBackHere = result && result.value().cacheType() == vellum::CacheType::disk &&
                   std::this_thread::get_id() == mainThread;
    std::printf("read back from the disk, on the main thread: %s\n", readBackHere ? "yes" : "no");
    foundation::MainQueue::stop();  // run() below returns
  };
  // The store's future is set on the main queue: wait for it on another thread, never on this one.
  std::jthread worker([&] {
    cache->storeAsync(vellum::imageFromData(png), png, "blue", vellum::VellumParsedOptionsInfo{}).get();
    cache->clearMemoryCache();
    cache->retrieveImage("blue", vellum::VellumParsedOptionsInfo{}, vellum::CallbackQueue::mainAsync(), found);
  });
  foundation::MainQueue::run();  // runs what is posted to the main queue, here, until stop()
  return readBackHere ? 0 : 1;
}
