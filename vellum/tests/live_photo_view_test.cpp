// The live-photo view over the real manager and cache, with an assembler the test scripts.
#include "vellum/views/live_photo_view_extension.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "view_test_support.hpp"

namespace vellum::test {
namespace {

using Setting = VellumError::ImageSettingErrorReason;

foundation::Bytes isoMediaBytes(const char brand[4]) {
  foundation::Bytes bytes(64, 0);
  const char* header = "\0\0\0\x18" "ftyp";
  std::copy(header, header + 8, bytes.begin());
  std::copy(brand, brand + 4, bytes.begin() + 8);
  return bytes;
}

// Keeps every request; the test answers them, on threads of its choosing.
class ScriptedAssembler final : public LivePhotoAssembler {
 public:
  struct Request {
    std::vector<std::filesystem::path> files;
    Size targetSize;
    LivePhotoContentMode mode;
    ResultHandler handler;
  };
  void requestLivePhoto(const std::vector<std::filesystem::path>& files, const ImagePtr&, Size targetSize,
                        LivePhotoContentMode mode, ResultHandler handler) override {
    std::lock_guard lock(mutex_);
    requests_.push_back({files, targetSize, mode, std::move(handler)});
    arrived_.notify_all();
  }
  Request waitFor(std::size_t index) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, kMainQueueDeadline, [&] { return requests_.size() > index; })) {
      throw std::runtime_error("the assembler was not asked in time");
    }
    return requests_[index];
  }
  // Answers request `index` from a thread of its own, as a platform assembler may.
  void answer(std::size_t index, std::shared_ptr<const LivePhoto> photo, LivePhotoInfo info) {
    auto request = waitFor(index);
    std::jthread([&] { request.handler(photo, info); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Request> requests_;
};

using LivePhotoRecorder = Recorder<RetrieveLivePhotoOutcome>;

LivePhotoInfo degraded() {
  LivePhotoInfo info;
  info.degraded = true;
  return info;
}

bool isStaleLivePhoto(const VellumError& e) {
  auto* r = e.imageSettingReason();
  return r && std::holds_alternative<Setting::NotCurrentLivePhotoSourceTask>(r->value);
}

class LivePhotoViews : public ViewsFixture {
 protected:
  void SetUp() override {
    ViewsFixture::SetUp();
    server.on("GET", "/p.heic", Reply{200, text(isoMediaBytes("heic")), "image/heic", {}, {}, {}});
    server.on("GET", "/p.mov", Reply{200, text(isoMediaBytes("qt  ")), "video/quicktime", {}, {}, {}});
  }
  LivePhotoSource photo() const {
    return LivePhotoSource(std::vector<URL>{*URL::parse(url("/p.heic")), *URL::parse(url("/p.mov"))});
  }
  std::shared_ptr<LivePhotoView> viewWith(const std::shared_ptr<LivePhotoAssembler>& assembler) {
    return onMain([&] {
      auto view = LivePhotoView::make();
      vl(view).setAssembler(assembler);
      return view;
    });
  }
  static std::shared_ptr<const LivePhoto> livePhoto(const std::string& name) {
    return std::make_shared<const LivePhoto>(LivePhoto{name + ".heic", name + ".mov", {}, {}});
  }
  std::shared_ptr<ScriptedAssembler> assembler = std::make_shared<ScriptedAssembler>();
};

TEST_F(LivePhotoViews, AQuickSecondRequestLeavesTheFirstCompletingOnceAsStale) {
  auto view = viewWith(assembler);
  LivePhotoRecorder first, second;
  onMain([&] { vl(view).setImage(photo(), options(), first.handler()); });
  assembler->waitFor(0);
  onMain([&] { vl(view).setImage(photo(), options(), second.handler()); });
  assembler->answer(0, livePhoto("old-degraded"), degraded());
  assembler->answer(0, livePhoto("old"), LivePhotoInfo{});
  auto stale = first.get();
  ASSERT_FALSE(stale);
  EXPECT_TRUE(isStaleLivePhoto(stale.error())) << stale.error().what();
  assembler->answer(1, livePhoto("new"), LivePhotoInfo{});
  auto current = second.get();
  ASSERT_TRUE(current) << current.error().what();
  EXPECT_EQ(current.value().livePhoto->stillURL, "new.heic");
  ASSERT_EQ(current.value().loadingInfo.fileURLs.size(), 2u);
  EXPECT_EQ(current.value().loadingInfo.fileURLs[1].extension(), ".mov");
  flushMain();
  EXPECT_EQ(first.calls(), 1);
  EXPECT_EQ(second.calls(), 1);
  onMain([&] {
    EXPECT_EQ(view->livePhoto()->stillURL, "new.heic");
    EXPECT_EQ(vl(view).taskIdentifier(), Source::Identifier::current());
  });
}

TEST_F(LivePhotoViews, DegradedVersionsShowWithoutCompletingAndErrorsStillShowWhatCame) {
  auto view = viewWith(assembler);
  LivePhotoRecorder done;
  onMain([&] { vl(view).setImage(photo(), options(), done.handler()); });
  assembler->answer(0, livePhoto("degraded"), degraded());
  flushMain();
  onMain([&] { EXPECT_EQ(view->livePhoto()->stillURL, "degraded.heic"); });
  EXPECT_EQ(done.calls(), 0);
  assembler->answer(0, livePhoto("final"), LivePhotoInfo{});
  ASSERT_TRUE(done.get());
  onMain([&] { EXPECT_EQ(view->livePhoto()->stillURL, "final.heic"); });

  LivePhotoRecorder failed;
  onMain([&] { vl(view).setImage(photo(), options(), failed.handler()); });
  LivePhotoInfo broken;
  broken.error = std::make_exception_ptr(std::runtime_error("cannot pair"));
  assembler->answer(1, nullptr, broken);
  auto outcome = failed.get();
  ASSERT_FALSE(outcome);
  auto* reason = outcome.error().imageSettingReason();
  ASSERT_TRUE(reason && std::holds_alternative<Setting::LivePhotoResultError>(reason->value));
  EXPECT_EQ(std::get<Setting::LivePhotoResultError>(reason->value).result->loadingInfo.fileURLs.size(), 2u);
  onMain([&] { EXPECT_EQ(view->livePhoto(), nullptr) << "the delivered (empty) photo is put on the view"; });
}

// The assembler is the application's: one that throws instead of answering fails that request with what it
// threw, where before the caller never heard anything.
TEST_F(LivePhotoViews, AnAssemblerThatThrowsFailsItsRequest) {
  class ThrowingAssembler final : public LivePhotoAssembler {
   public:
    void requestLivePhoto(const std::vector<std::filesystem::path>&, const ImagePtr&, Size, LivePhotoContentMode,
                          ResultHandler) override {
      throw std::runtime_error("no assembly today");
    }
  };
  auto view = viewWith(std::make_shared<ThrowingAssembler>());
  LivePhotoRecorder done;
  onMain([&] { vl(view).setImage(photo(), options(), done.handler()); });
  auto outcome = done.get();
  ASSERT_FALSE(outcome);
  auto* reason = outcome.error().imageSettingReason();
  ASSERT_TRUE(reason && std::holds_alternative<Setting::LivePhotoResultError>(reason->value)) << outcome.error().what();
  EXPECT_EQ(describe(std::get<Setting::LivePhotoResultError>(reason->value).error), "no assembly today");
  flushMain();
  EXPECT_EQ(done.calls(), 1);
}

TEST_F(LivePhotoViews, ARequestOutlivesItsViewAndUsesTheSizeTakenAtTheStart) {
  LivePhotoRecorder released, sized;
  std::weak_ptr<LivePhotoView> gone;
  onMain([&] {
    auto view = LivePhotoView::make();
    vl(view).setAssembler(assembler);
    gone = view;
    vl(view).setImage(photo(), options(), released.handler());
  });
  auto unset = assembler->waitFor(0);
  EXPECT_TRUE(gone.expired());
  EXPECT_EQ(unset.targetSize, (Size{0, 0}));
  EXPECT_EQ(static_cast<int>(unset.mode), 0);
  assembler->answer(0, livePhoto("kept"), LivePhotoInfo{});
  ASSERT_TRUE(released.get());

  auto view = viewWith(assembler);
  onMain([&] {
    vl(view).setTargetSize({300, 200});
    vl(view).setContentMode(LivePhotoContentMode::aspectFill);
    vl(view).setImage(photo(), options(), sized.handler());
    vl(view).setTargetSize({1, 1});
  });
  auto request = assembler->waitFor(1);
  EXPECT_EQ(request.targetSize, (Size{300, 200}));
  EXPECT_EQ(request.mode, LivePhotoContentMode::aspectFill);
  assembler->answer(1, livePhoto("sized"), LivePhotoInfo{});
  EXPECT_TRUE(sized.get());
}

TEST_F(LivePhotoViews, CancellingStopsTheDownloadButNotAnAssemblyUnderWay) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/slow.mov", Reply{200, text(isoMediaBytes("qt  ")), "video/quicktime", {}, {}, gate});
  auto view = viewWith(assembler);
  LivePhotoRecorder cancelled, late;
  std::shared_ptr<LivePhotoTask> task;
  onMain([&] {
    task = vl(view).setImage(
        LivePhotoSource(std::vector<URL>{*URL::parse(url("/p.heic")), *URL::parse(url("/slow.mov"))}), options(),
        cancelled.handler());
  });
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10)));
  task->cancel();
  auto outcome = cancelled.get();
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(outcome.error().isTaskCancelled()) << outcome.error().what();
  gate->open();

  onMain([&] { task = vl(view).setImage(photo(), options(), late.handler()); });
  assembler->waitFor(0);
  task->cancel();
  assembler->answer(0, livePhoto("late"), LivePhotoInfo{});
  EXPECT_TRUE(late.get());
  flushMain();
}

TEST_F(LivePhotoViews, TheDefaultAssemblerPairsTheStoredFilesAndNeedsBoth) {
  auto view = onMain([] { return LivePhotoView::make(); });
  LivePhotoRecorder paired, empty, cleared;
  onMain([&] {
    vl(view).setTargetSize({30, 20});
    vl(view).setImage(photo(), options(), paired.handler());
  });
  auto outcome = paired.get();
  ASSERT_TRUE(outcome) << outcome.error().what();
  const auto& shown = *outcome.value().livePhoto;
  EXPECT_EQ(shown.stillURL, outcome.value().loadingInfo.fileURLs[0]);
  EXPECT_EQ(shown.movieURL, outcome.value().loadingInfo.fileURLs[1]);
  EXPECT_TRUE(std::filesystem::exists(shown.movieURL));
  EXPECT_EQ(shown.size, (Size{30, 20}));

  onMain([&] { vl(view).setImage(LivePhotoSource(std::vector<URL>{}), options(), empty.handler()); });
  auto none = empty.get();
  ASSERT_FALSE(none);
  auto* reason = none.error().imageSettingReason();
  EXPECT_TRUE(reason && std::holds_alternative<Setting::LivePhotoResultError>(reason->value)) << none.error().what();

  onMain([&] {
    EXPECT_EQ(vl(view).setImage(std::optional<LivePhotoSource>(), options(), cleared.handler()), nullptr);
    EXPECT_EQ(view->livePhoto(), nullptr);
    EXPECT_EQ(vl(view).taskIdentifier(), std::nullopt);
  });
  EXPECT_TRUE(isEmptySource(cleared.get().error()));
}

}  // namespace
}  // namespace vellum::test
