#pragma once
// VLImageContext: the configuration of one declarative image view. View values hold it, their modifiers
// write into a fresh copy of it, the renderer reads it to build its tree and the binder when it loads. Any
// thread may read or write a field: each access is one step under the context's mutex, and closures kept
// here are always copied out before they are called, never called under it.
//
// Equality and hashing look only at what decides the image shown: the source and the processor's
// identifier. They serve as the renderer's identity: a new source or processor is a new load, any other
// change keeps what was loaded.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vellum/views/declarative_host.hpp"
#include "vellum/general/delegate.hpp"
#include "vellum/general/options.hpp"
#include "vellum/general/queue_labels.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/general/vellum_error.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

namespace vellum {

using VLFailureDelegate = Delegate<VellumError, std::monostate>;
using VLSuccessDelegate = Delegate<RetrieveImageResult, std::monostate>;
using VLProgressDelegate = Delegate<std::pair<std::int64_t, std::int64_t>, std::monostate>;

template <class HoldingView>
class VLImageContext {
  struct Passkey {};

 public:
  using RenderingView = typename HoldingView::RenderingView;
  using Configuration = std::function<HoldingView(HoldingView)>;
  using RenderConfiguration = std::function<void(RenderingView&)>;
  using ContentConfiguration = std::function<AnyView(HoldingView, bool)>;
  using Placeholder = std::function<AnyView(const Progress&)>;
  using FailureView = std::function<AnyView()>;

  // The label the context's lock is known by.
  static constexpr std::string_view propertyQueueLabel = queue_labels::kImageContextProperty;

  // Options start from the shared manager's default options, with local disk reads made synchronous.
  static std::shared_ptr<VLImageContext> make(std::optional<Source> source,
                                              std::shared_ptr<VLFailureDelegate> onFailure = nullptr,
                                              std::shared_ptr<VLSuccessDelegate> onSuccess = nullptr,
                                              std::shared_ptr<VLProgressDelegate> onProgress = nullptr) {
    return std::make_shared<VLImageContext>(Passkey{}, std::move(source), std::move(onFailure),
                                            std::move(onSuccess), std::move(onProgress));
  }

  VLImageContext(Passkey, std::optional<Source> initialSource, std::shared_ptr<VLFailureDelegate> onFailure,
                 std::shared_ptr<VLSuccessDelegate> onSuccess, std::shared_ptr<VLProgressDelegate> onProgress)
      : source(std::move(initialSource)),
        onFailureDelegate(onFailure ? std::move(onFailure) : std::make_shared<VLFailureDelegate>()),
        onSuccessDelegate(onSuccess ? std::move(onSuccess) : std::make_shared<VLSuccessDelegate>()),
        onProgressDelegate(onProgress ? std::move(onProgress) : std::make_shared<VLProgressDelegate>()) {
    auto items = VellumManager::shared()->defaultOptions();
    items.push_back(VellumOptionsInfoItem::loadDiskFileSynchronously());
    options_ = VellumParsedOptionsInfo(items);
  }

  const std::optional<Source> source;
  const std::shared_ptr<VLFailureDelegate> onFailureDelegate;
  const std::shared_ptr<VLSuccessDelegate> onSuccessDelegate;
  const std::shared_ptr<VLProgressDelegate> onProgressDelegate;

  VellumParsedOptionsInfo options() const { return get(&VLImageContext::options_); }
  void setOptions(VellumParsedOptionsInfo value) { set(&VLImageContext::options_, std::move(value)); }
  // Runs `change(options&)` as one step. `change` must only assign values: it runs under the lock.
  template <class F>
  void modifyOptions(F change) {
    std::lock_guard lock(mutex_);
    change(options_);
  }
  std::vector<Configuration> configurations() const { return get(&VLImageContext::configurations_); }
  void setConfigurations(std::vector<Configuration> value) { set(&VLImageContext::configurations_, std::move(value)); }
  std::vector<RenderConfiguration> renderConfigurations() const { return get(&VLImageContext::renderConfigurations_); }
  void setRenderConfigurations(std::vector<RenderConfiguration> value) {
    set(&VLImageContext::renderConfigurations_, std::move(value));
  }
  ContentConfiguration contentConfiguration() const { return get(&VLImageContext::contentConfiguration_); }
  void setContentConfiguration(ContentConfiguration value) {
    set(&VLImageContext::contentConfiguration_, std::move(value));
  }
  bool cancelOnDisappear() const { return get(&VLImageContext::cancelOnDisappear_); }
  void setCancelOnDisappear(bool value) { set(&VLImageContext::cancelOnDisappear_, value); }
  bool reducePriorityOnDisappear() const { return get(&VLImageContext::reducePriorityOnDisappear_); }
  void setReducePriorityOnDisappear(bool value) { set(&VLImageContext::reducePriorityOnDisappear_, value); }
  Placeholder placeholder() const { return get(&VLImageContext::placeholder_); }
  void setPlaceholder(Placeholder value) { set(&VLImageContext::placeholder_, std::move(value)); }
  FailureView failureView() const { return get(&VLImageContext::failureView_); }
  void setFailureView(FailureView value) { set(&VLImageContext::failureView_, std::move(value)); }
  bool startLoadingBeforeViewAppear() const { return get(&VLImageContext::startLoadingBeforeViewAppear_); }
  void setStartLoadingBeforeViewAppear(bool value) { set(&VLImageContext::startLoadingBeforeViewAppear_, value); }
  std::optional<AnyTransition> swiftUITransition() const { return get(&VLImageContext::swiftUITransition_); }
  void setSwiftUITransition(std::optional<AnyTransition> value) {
    set(&VLImageContext::swiftUITransition_, std::move(value));
  }
  std::optional<Animation> swiftUIAnimation() const { return get(&VLImageContext::swiftUIAnimation_); }
  void setSwiftUIAnimation(std::optional<Animation> value) { set(&VLImageContext::swiftUIAnimation_, value); }

  // What every build of the renderer reads, in one step: a list evaluates each row's body at every rebuild.
  struct Rendering {
    bool startLoadingBeforeViewAppear = false;
    std::optional<AnyTransition> swiftUITransition;
    std::vector<Configuration> configurations;
    ContentConfiguration contentConfiguration;
  };
  Rendering rendering() const {
    std::lock_guard lock(mutex_);
    return Rendering{startLoadingBeforeViewAppear_, swiftUITransition_, configurations_, contentConfiguration_};
  }

  // A context equal in content and independent in state. Callbacks installed before the copy are called by
  // both; one installed afterwards reaches only the context it was installed on.
  std::shared_ptr<VLImageContext> copy() const {
    auto copied = make(source, copyDelegate(*onFailureDelegate), copyDelegate(*onSuccessDelegate),
                       copyDelegate(*onProgressDelegate));
    std::lock_guard lock(mutex_);
    // The copy is not shared yet: its fields are written without its lock.
    copied->options_ = options_;
    copied->configurations_ = configurations_;
    copied->renderConfigurations_ = renderConfigurations_;
    copied->contentConfiguration_ = contentConfiguration_;
    copied->cancelOnDisappear_ = cancelOnDisappear_;
    copied->reducePriorityOnDisappear_ = reducePriorityOnDisappear_;
    copied->placeholder_ = placeholder_;
    copied->failureView_ = failureView_;
    copied->startLoadingBeforeViewAppear_ = startLoadingBeforeViewAppear_;
    copied->swiftUITransition_ = swiftUITransition_;
    copied->swiftUIAnimation_ = swiftUIAnimation_;
    return copied;
  }

  // Whether a freshly retrieved image is animated in: always with forceTransition, else only when it did not
  // come from a cache.
  bool shouldApplyFade(CacheType cacheType) const {
    return options().forceTransition || cacheType == CacheType::none;
  }
  std::optional<double> fadeTransitionDuration(CacheType cacheType) const {
    if (!shouldApplyFade(cacheType)) return std::nullopt;
    const ImageTransition transition = options().transition;
    if (transition.kind == ImageTransition::Kind::fade) return transition.duration;
    return std::nullopt;
  }

  // Each side's options are read under its own lock, one after the other: never two locks at once. A rebuild
  // compares every row's context, mostly with itself or with one sharing its processor: those answer without
  // asking the processors for their identifiers.
  friend bool operator==(const VLImageContext& a, const VLImageContext& b) {
    if (&a == &b) return true;
    if (a.source.has_value() != b.source.has_value()) return false;
    if (a.source && !(*a.source == *b.source)) return false;
    const auto left = a.processor();
    const auto right = b.processor();
    return left == right || identifier(left) == identifier(right);
  }
  std::size_t hashValue() const {
    std::size_t seed = source ? (std::size_t{1} * 1000003u) ^ std::hash<Source>{}(*source) : 0;
    return seed * 31 + std::hash<std::string>{}(identifier(processor()));
  }

 private:
  template <class T>
  T get(T VLImageContext::*field) const {
    std::lock_guard lock(mutex_);
    return this->*field;
  }
  template <class T>
  void set(T VLImageContext::*field, T value) {
    std::lock_guard lock(mutex_);
    this->*field = std::move(value);
  }
  // Only the processor is taken out under the lock: equality and hashing run for every row of every rebuild.
  std::shared_ptr<const ImageProcessor> processor() const {
    std::lock_guard lock(mutex_);
    return options_.processor;
  }
  // The identifier is the application's code. A processor that cannot name itself is told apart by its
  // address (under a name no identifier has, as it starts with a NUL), so its rows keep an identity of their
  // own and the rows beside them build; their loads fail, as no cache entry can be named for them.
  static std::string identifier(const std::shared_ptr<const ImageProcessor>& processor) {
    if (!processor) return std::string();
    try {
      return processor->identifier();
    } catch (...) {
      return std::string(1, '\0') + "unnamed " +
             std::to_string(reinterpret_cast<std::uintptr_t>(static_cast<const void*>(processor.get())));
    }
  }
  template <class D>
  static std::shared_ptr<D> copyDelegate(const D& from) {
    auto to = std::make_shared<D>();
    to->setBlock(from.block());
    to->setAsyncBlock(from.asyncBlock());
    return to;
  }

  // What a rebuild reads next to the lock; the options, read when a load starts, after them.
  mutable std::mutex mutex_;
  bool startLoadingBeforeViewAppear_ = false;
  bool cancelOnDisappear_ = false;
  bool reducePriorityOnDisappear_ = false;
  std::vector<Configuration> configurations_;
  ContentConfiguration contentConfiguration_;
  std::optional<AnyTransition> swiftUITransition_;
  Placeholder placeholder_;
  std::vector<RenderConfiguration> renderConfigurations_;
  FailureView failureView_;
  std::optional<Animation> swiftUIAnimation_;
  VellumParsedOptionsInfo options_;
};

// A context as a node identity: equal and hashed by the context's own rules.
template <class HoldingView>
struct VLImageContextKey {
  std::shared_ptr<const VLImageContext<HoldingView>> context;
  bool operator==(const VLImageContextKey& other) const { return *context == *other.context; }
};

}  // namespace vellum

template <class HoldingView>
struct std::hash<vellum::VLImageContextKey<HoldingView>> {
  std::size_t operator()(const vellum::VLImageContextKey<HoldingView>& key) const { return key.context->hashValue(); }
};
