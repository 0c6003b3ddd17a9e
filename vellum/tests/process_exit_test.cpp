// An application may leave main (or call exit) while its main queue still builds and loads views: the queue's
// thread goes on running tasks while exit tears down static objects, up to the process's very end. What those
// tasks reach of the library must still be there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>

#include <testing/scripted_server.hpp>

#include "cache_test_support.hpp"
#include "downloader_test_support.hpp"
#include "foundation/main_queue.hpp"
#include "vellum/general/vellum_wrapper.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/views/animated_image_view.hpp"
#include "vellum/views/declarative_host.hpp"
#include "vellum/views/image_view_extension.hpp"
#include "vellum/views/vl_image.hpp"

namespace vellum {
namespace {

// The application's own teardown that runs last at exit (registered before any static object was made, as a
// library loaded first would), and takes a moment: while it waits, the main queue must still be able to make
// views. Armed only in a child that tests it.
std::atomic<bool> lateTeardownArmed{false};

// What the main queue did; never destroyed, as it is counted on until the process ends.
struct Count {
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;

  void one() {
    {
      std::lock_guard lock(mutex);
      ++done;
    }
    changed.notify_all();
  }
  bool awaitMore(int more) {
    std::unique_lock lock(mutex);
    const int target = done + more;
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return done >= target; });
  }
};
Count& viewsMade() {
  static auto* count = new Count();
  return *count;
}
Count& imagesShown() {
  static auto* count = new Count();
  return *count;
}

void lateTeardown() {
  if (lateTeardownArmed.load() && !viewsMade().awaitMore(50)) std::_Exit(4);
}

__attribute__((constructor(101))) void registerLateTeardown() { std::atexit(lateTeardown); }

// Makes a view and posts itself again: a main queue that keeps building views all through exit.
void makeViewsForever() {
  auto view = AnimatedImageView::make(Rect{{0, 0}, {8, 8}});
  if (view->runLoopMode() != "kCFRunLoopCommonModes") std::_Exit(5);
  viewsMade().one();
  foundation::MainQueue::post(makeViewsForever);
}

// Loads a new address into a new view through the shared manager (the shared cache stores each on disk), and
// the next one once it is shown: loads and disk writes that go on all through exit.
void loadImagesForever(std::string base, int next) {
  auto view = std::make_shared<ImageView>();
  const auto address = URL::parse(base + "/photo.png?" + std::to_string(next));
  vl(view).setImage(Source::network(VL::ImageResource(*address)), nullptr, VellumOptionsInfo{},
                    [view, base, next](const RetrieveImageOutcome& outcome) {
                      if (outcome) imagesShown().one();
                      loadImagesForever(base, next + 1);
                    });
}

// The same through a declarative host: a host of one row that loads a new address, replaced by the next
// host once its image is in.
void hostImagesForever(std::string base, int next) {
  // The current host; replaced, and so released, on the main queue while the process exits.
  static auto* current = new std::shared_ptr<DeclarativeHost>();
  const VLImage row = VLImage::url(URL::parse(base + "/photo.png?" + std::to_string(next)))
                          .onSuccess([base, next](const RetrieveImageResult&) {
                            imagesShown().one();
                            foundation::MainQueue::post([base, next] { hostImagesForever(base, next + 1); });
                          });
  *current = DeclarativeHost::make([row] { return AnyView::stack({row.body()}); });
  (*current)->rebuild();
}

// Loads images through the shared manager, into image views and declarative hosts, on the main queue, from a
// server that answers every request with `png` and the shared cache under `cacheFolder`. The server is never
// destroyed, as it answers until the process ends; its threads read nothing that exit destroys.
void startLoadingImages(const foundation::Bytes& png, const std::filesystem::path& cacheFolder) {
  ::setenv("XDG_CACHE_HOME", cacheFolder.c_str(), 1);
  const std::string answer = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/png\r\nContent-Length: " +
                             std::to_string(png.size()) + "\r\n\r\n" + std::string(png.begin(), png.end());
  auto* server = new testing_support::ScriptedServer({{std::chrono::milliseconds(0), answer}});
  for (int i = 0; i < 4; ++i) {
    foundation::MainQueue::post([server, i] { loadImagesForever(server->baseURL(), i * 100000); });
  }
  foundation::MainQueue::post([server] { hostImagesForever(server->baseURL(), 900000); });
}

// What the cache left under its names is whole: the next start takes each for the photo it was.
void expectWholeEntries(const std::filesystem::path& cacheFolder, const foundation::Bytes& png) {
  int entries = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(cacheFolder)) {
    if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
    ++entries;
    std::ifstream in(entry.path(), std::ios::binary);
    const foundation::Bytes stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, png) << entry.path();
  }
  EXPECT_GT(entries, 0);
}

// Runs `child` in a child process over a server of one photo and a cache folder of its own; the child must end
// the process with status 0 (no signal, no sanitizer report), and what its cache left must be whole.
using ExitingChild = std::function<void(const foundation::Bytes& png, const std::filesystem::path& cacheFolder)>;
void expectAWholeExit(const ExitingChild& child) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const foundation::Bytes png = test::pngBytes(8, 6);
  test::DirectoryOfDeathTest dir;
  EXPECT_EXIT(
      {
        ::alarm(30);  // a child that hangs dies of the alarm instead of holding the test
        child(png, dir.path());
      },
      testing::ExitedWithCode(0), "");
  expectWholeEntries(dir.path(), png);
}

TEST(ProcessExit, ViewsMadeAndLoadedOnTheMainQueueWhileTheProcessExitsAreWhole) {
  expectAWholeExit([](const foundation::Bytes& png, const std::filesystem::path& cacheFolder) {
    lateTeardownArmed = true;
    foundation::MainQueue::post(makeViewsForever);
    startLoadingImages(png, cacheFolder);
    std::exit(viewsMade().awaitMore(10) && imagesShown().awaitMore(20) ? 0 : 2);
  });
}

// The application may also end the process from a task of the main queue itself: exit then runs on the queue's
// thread, and nothing it waits for may wait on the main queue in turn.
TEST(ProcessExit, AnExitFromTheMainQueueWhileImagesLoadEndsAtOnce) {
  expectAWholeExit([](const foundation::Bytes& png, const std::filesystem::path& cacheFolder) {
    startLoadingImages(png, cacheFolder);
    if (!imagesShown().awaitMore(20)) std::_Exit(2);
    foundation::MainQueue::post([] { std::exit(0); });
    for (;;) ::pause();  // the main queue ends the process
  });
}

}  // namespace
}  // namespace vellum
