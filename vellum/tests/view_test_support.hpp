#pragma once
// What the image-setting tests share: a loopback image server, a cache and a downloader of the test's own
// (handed to the shared manager through the options), a provider that answers only when the test releases
// it, an image view that records every image it is given, and a completion recorder.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "main_queue_support.hpp"
#include "manager_test_support.hpp"
#include "vellum/views/image_setting.hpp"
#include "vellum/views/image_view.hpp"

namespace vellum::test {

// A provider whose answers the test gives, in the order it chooses. Copies (a source keeps one) share the
// asks, so the test reaches the handler of whichever copy the manager asked.
class HeldProvider final : public ImageDataProvider {
 public:
  struct State {
    std::mutex mutex;
    std::condition_variable asked;
    std::vector<Handler> handlers;
  };

  explicit HeldProvider(std::string key) : key_(std::move(key)), state_(std::make_shared<State>()) {}
  HeldProvider(std::string key, std::shared_ptr<State> state) : key_(std::move(key)), state_(std::move(state)) {}

  std::string cacheKey() const override { return key_; }
  void data(Handler handler) const override {
    std::lock_guard lock(state_->mutex);
    state_->handlers.push_back(std::move(handler));
    state_->asked.notify_all();
  }
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<HeldProvider>(key_, state_); }

  // Answers the first ask with `bytes` (an empty answer fails), waiting for it up to the deadline.
  void release(const foundation::Bytes& bytes) const {
    Handler handler;
    {
      std::unique_lock lock(state_->mutex);
      if (!state_->asked.wait_for(lock, kMainQueueDeadline, [&] { return !state_->handlers.empty(); })) {
        throw std::runtime_error("the provider was never asked");
      }
      handler = std::move(state_->handlers.front());
      state_->handlers.erase(state_->handlers.begin());
    }
    if (bytes.empty()) {
      handler(DataResult::failure(std::make_exception_ptr(std::runtime_error("refused by the test"))));
    } else {
      handler(DataResult::success(bytes));
    }
  }

 private:
  std::string key_;
  std::shared_ptr<State> state_;
};

// An image view that keeps every image it was given, in order.
class RecordingImageView : public ImageView {
 public:
  void setImage(ImagePtr image) override {
    shown.push_back(image);
    ImageView::setImage(std::move(image));
  }
  std::vector<ImagePtr> shown;
};

// Completions of one request: the first outcome, and how many there were.
template <class Outcome>
class Recorder {
 public:
  std::function<void(const Outcome&)> handler() {
    return [state = state_](const Outcome& outcome) {
      if (state->calls++ == 0) state->first.set(outcome);
    };
  }
  Outcome get() { return state_->first.get(); }
  bool done() const { return state_->first.ready(); }
  int calls() const { return state_->calls; }

 private:
  struct State {
    Awaited<Outcome> first;
    std::atomic<int> calls{0};
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};
using Completion = Recorder<RetrieveImageOutcome>;

inline bool isEmptySource(const VellumError& error) {
  auto* reason = error.imageSettingReason();
  return reason && std::holds_alternative<VellumError::ImageSettingErrorReason::EmptySource>(reason->value);
}

// The source a `notCurrentSourceTask` error carries; null for any other error.
inline std::shared_ptr<const Source> staleSource(const VellumError& error) {
  auto* reason = error.imageSettingReason();
  if (!reason) return nullptr;
  auto* stale = std::get_if<VellumError::ImageSettingErrorReason::NotCurrentSourceTask>(&reason->value);
  return stale ? stale->source : nullptr;
}

class ViewsFixture : public ManagerFixture {
 protected:
  // The test's cache and downloader, then `items`.
  VellumOptionsInfo options(VellumOptionsInfo items = {}) const {
    VellumOptionsInfo all{VellumOptionsInfoItem::targetCache(cache), VellumOptionsInfoItem::downloader(downloader)};
    all.insert(all.end(), items.begin(), items.end());
    return all;
  }
  ImagePtr image(std::uint32_t w, std::uint32_t h) const { return Image::make(gradient(w, h)); }
  const foundation::Bytes photo = pngBytes(8, 6);
};

}  // namespace vellum::test
