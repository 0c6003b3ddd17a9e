// Animated playback: 200 animated 64 x 64 views play a 24-frame 64 x 64 GIF (every delay 0.05 s, a window of
// 10 frames) for 600 refreshes of 1/60 s, beside decoding the same frame sequence from frame sources
// directly. Counters: process CPU seconds of each run and main-queue milliseconds per refresh.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <vector>

#include "foundation/main_queue.hpp"
#include "vellum/views/animated_image_view.hpp"
#include "vellum/image/image_codecs.hpp"

namespace {

constexpr int kViews = 200, kFrames = 24, kSide = 64, kTicks = 600;

double processCPUSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

foundation::Bytes makeAnimation() {
  foundation::Bytes out;
  int error = 0;
  auto write = [](GifFileType* g, const GifByteType* data, int length) {
    auto* bytes = static_cast<foundation::Bytes*>(g->UserData);
    bytes->insert(bytes->end(), data, data + length);
    return length;
  };
  GifFileType* gif = EGifOpen(&out, write, &error);
  std::vector<GifColorType> palette(256);
  for (int i = 0; i < 256; ++i) palette[std::size_t(i)] = {GifByteType(i), GifByteType(255 - i), GifByteType(i * 7)};
  ColorMapObject* map = GifMakeMapObject(256, palette.data());
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, kSide, kSide, 8, 0, map);
  std::vector<GifPixelType> line(kSide);
  for (int f = 0; f < kFrames; ++f) {
    GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 5, NO_TRANSPARENT_COLOR};
    GifByteType ext[4];
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(EGifGCBToExtension(&gcb, ext)), ext);
    EGifPutImageDesc(gif, 0, 0, kSide, kSide, false, nullptr);
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) line[std::size_t(x)] = GifPixelType((x + y + f * 9) & 255);
      EGifPutLine(gif, line.data(), kSide);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

// A link that reports a 60 Hz refresh; the benchmark calls the views itself, one refresh at a time.
class SteadyLink final : public vellum::DisplayLinkCompatible {
 public:
  bool isPaused() const override { return paused_; }
  void setPaused(bool paused) override { paused_ = paused; }
  int preferredFramesPerSecond() const override { return 0; }
  double timestamp() const override { return 0; }
  double duration() const override { return 1.0 / 60; }
  void add(const vellum::RunLoop&, const std::string&) override {}
  void remove(const vellum::RunLoop&, const std::string&) override {}
  void invalidate() override { paused_ = true; }

 private:
  bool paused_ = true;
};

void BM_AnimatedViewsPlaying(benchmark::State& state) {
  const auto data = makeAnimation();
  const auto image = vellum::imageFromData(data);
  double mainSeconds = 0, cpuSeconds = 0;
  for (auto _ : state) {
    const double cpuStart = processCPUSeconds();
    auto views = foundation::MainQueue::sync([&] {
      auto window = vellum::Window::make(1.0);
      auto root = vellum::View::make(vellum::Rect{{0, 0}, {1000, 1000}});
      window->setContentView(root);
      std::vector<std::shared_ptr<vellum::AnimatedImageView>> made;
      for (int i = 0; i < kViews; ++i) {
        auto view = vellum::AnimatedImageView::make(vellum::Rect{{0, 0}, {kSide, kSide}});
        view->setDisplayLinkFactory([](auto, auto) { return std::make_shared<SteadyLink>(); });
        root->addSubview(view);
        view->setImage(image);
        made.push_back(view);
      }
      return std::make_pair(window, made);
    });
    for (auto& view : views.second) {
      auto queue = foundation::MainQueue::sync([&] { return view->preloadQueue(); });
      queue->sync([] {});
    }
    for (int tick = 0; tick < kTicks; ++tick) {
      const auto start = std::chrono::steady_clock::now();
      foundation::MainQueue::sync([&] {
        for (auto& view : views.second) {
          view->updateFrameIfNeeded();
          view->displayIfNeeded();
        }
      });
      mainSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    for (auto& view : views.second) {
      auto queue = foundation::MainQueue::sync([&] { return view->preloadQueue(); });
      queue->sync([] {});
    }
    foundation::MainQueue::sync([&] { views = {}; });
    foundation::MainQueue::drain();
    cpuSeconds += processCPUSeconds() - cpuStart;
  }
  state.counters["process_cpu_s"] = cpuSeconds / double(state.iterations());
  state.counters["main_ms_per_tick"] = 1000 * mainSeconds / double(state.iterations() * kTicks);
}
BENCHMARK(BM_AnimatedViewsPlaying)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The frames those views decode, straight from frame-source copies: 11 at set-up, then one per frame change
// (600 refreshes of 1/60 s at 0.05 s a frame: 200 changes).
void BM_FrameSourceDecodingSameSequence(benchmark::State& state) {
  const auto data = makeAnimation();
  const auto image = vellum::imageFromData(data);
  double cpuSeconds = 0;
  for (auto _ : state) {
    const double cpuStart = processCPUSeconds();
    for (int v = 0; v < kViews; ++v) {
      auto source = image->frameSource()->copy();
      for (int i = 0; i < 11 + kTicks / 3; ++i) {
        benchmark::DoNotOptimize(source->frame(std::size_t(i % kFrames), std::nullopt));
      }
    }
    cpuSeconds += processCPUSeconds() - cpuStart;
  }
  state.counters["process_cpu_s"] = cpuSeconds / double(state.iterations());
}
BENCHMARK(BM_FrameSourceDecodingSameSequence)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
