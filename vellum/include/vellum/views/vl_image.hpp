#pragma once
// VLImage: a declarative image view. A small value over a VLImageContext; its modifiers copy the value over a
// copy of the context and change the copy, so a value the host still holds never changes under it. Its body
// is the renderer, identified by the context (source and processor): a new source is a new load, any other
// change keeps what was loaded.
//
// Example (on the main queue), given const vellum::URL& url, std::function<vellum::AnyView(const vellum::Progress&)> spinner:
//   auto row = vellum::VLImage::url(url)
//                  .placeholder([spinner](const vellum::Progress& p) { return spinner(p); })
//                  .fade(0.25)
//                  .cancelOnDisappear(true);
//   vellum::DeclarativeHost host([row] { return vellum::AnyView::stack({row.body()}); });
//
// The renderer (`renderImage`) builds, at every rebuild: an image layer (the holding view made from the
// binder's image, configured) under a placeholder layer (failure view, placeholder or clear) that is there
// until the image is shown, and whose appear and disappear actions start, cancel or re-prioritise the load.
//
// Thread rule: values are made on any thread; bodies, actions and the binder run on the main queue.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "vellum/views/declarative_host.hpp"
#include "vellum/views/guarded_call.hpp"
#include "vellum/views/image_binder.hpp"
#include "vellum/sources/raw_image_data_provider.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/sources/url.hpp"
#include "vellum/views/vl_image_context.hpp"
#include "vellum/views/vl_option_setter.hpp"

namespace vellum {

// The platform's low task priority, given to a retrieval whose row has gone off screen.
inline constexpr float kURLSessionTaskPriorityLow = 0.25f;

// The static picture a VLImage shows, with the image modifiers applied to it, by name, in order.
struct ImageElement {
  using RenderingView = ImageElement;
  ImagePtr image;
  std::vector<std::string> modifiers;

  // An element without image shows an empty image, never nothing: always the same one, so that a row still
  // waiting for its image builds equal to what it built before and the host keeps what it has.
  template <class Context>
  static ImageElement created(ImagePtr image, const std::shared_ptr<Context>&) {
    return ImageElement{image ? std::move(image) : noImage(), {}};
  }
  static const ImagePtr& noImage() {
    // Never destroyed: a build on the main queue's own thread may still read it while the process exits.
    static const auto* empty = new ImagePtr(Image::withoutBitmap());
    return *empty;
  }
  AnyView anyView() const { return AnyView::image(image, modifiers); }
  ImageElement modified(std::string modifier) const {
    ImageElement copy = *this;
    copy.modifiers.push_back(std::move(modifier));
    return copy;
  }
};

// What a row whose image has not come shows when nothing configures it, the same for every such row: its
// image layer, and the content of its placeholder layer when it has no placeholder. Each is made once and
// shared, as nodes are values that never change: a long list's first build makes each row's own nodes only.
// Never destroyed, as noImage().
struct WaitingLayers {
  static const AnyView& image() {
    static const auto* layer = new AnyView(ImageElement{ImageElement::noImage(), {}}.anyView().opacity(0.0).frame(0.0, 0.0));
    return *layer;
  }
  static const AnyView& emptyPlaceholder() {
    static const auto* content = new AnyView(AnyView::stack({AnyView::clear()}));
    return *content;
  }
};

// The renderer's tree for one build, from the binder's fields and the context.
template <class HoldingView>
AnyView renderImageBody(const std::shared_ptr<ImageBinder>& binder,
                        const std::shared_ptr<VLImageContext<HoldingView>>& context) {
  std::weak_ptr<ImageBinder> weak = binder;
  const auto rendering = context->rendering();
  // Only the first build that asks may start before appearing. Were every build to ask, a failure would
  // restart the load from the rebuild its own notice causes, and any unrelated rebuild would restart it too;
  // a failed row starts again when it comes on screen again.
  if (rendering.startLoadingBeforeViewAppear && !binder->startBeforeAppearingAsked) {
    binder->startBeforeAppearingAsked = true;
    if (!binder->isBusy() && !binder->animating) {
      binder->markLoading();
      ImageBinder::startInTurn([weak, context] {
        if (auto b = weak.lock()) b->start(context);
      });
    }
  }

  const bool shown = binder->isShown();
  const auto& transition = rendering.swiftUITransition;
  // The closures called below are the application's: one that throws is left out (a configuration, the
  // content configuration) or stands for nothing (a placeholder, a failure view), and the row, and the rows
  // beside it, still build.
  auto rendered = [&] {
    HoldingView holding = HoldingView::created(binder->loadedImage(), context);
    for (const auto& configure : rendering.configurations) {
      guardedCall("A declarative image's configuration", [&] { holding = configure(holding); });
    }
    AnyView result = holding.anyView();
    if (const auto& content = rendering.contentConfiguration) {
      guardedCall("A declarative image's content configuration",
                  [&] { result = content(holding, shown && !binder->usesFailureImage); });
    }
    if (transition) result = result.transition(*transition);
    return result;
  };
  std::vector<AnyView> layers;
  layers.reserve(2);
  // Only a still picture with nothing to configure it is the same for every row.
  constexpr bool kStill = std::is_same_v<HoldingView, ImageElement>;
  if (transition) {
    if (shown) layers.push_back(rendered());
  } else if (kStill && !binder->loadedImage() && rendering.configurations.empty() && !rendering.contentConfiguration) {
    layers.push_back(WaitingLayers::image());
  } else {
    AnyView image = rendered().opacity(shown ? 1.0 : 0.0);
    layers.push_back(binder->loadedImage() ? image.frame(std::nullopt, std::nullopt) : image.frame(0.0, 0.0));
  }
  if (!shown) {
    AnyView content = WaitingLayers::emptyPlaceholder();
    const auto& failure = binder->failureView();
    const auto placeholder = failure ? nullptr : context->placeholder();
    if (failure || placeholder) {
      AnyView child = AnyView::clear();
      if (failure) {
        guardedCall("A declarative image's failure view", [&] { child = failure(); });
      } else {
        guardedCall("A declarative image's placeholder", [&] { child = placeholder(*binder->progress); });
      }
      content = AnyView::stack({child});
    }
    layers.push_back(content
                         .onAppear([weak, context] {
                           auto b = weak.lock();
                           if (!b) return;
                           if (!b->isBusy()) {
                             // The load starts later, in its turn: a list that puts thousands of rows on
                             // screen at once must not start them all in the task of one rebuild.
                             b->markStarting();
                             ImageBinder::startInTurn([weak, context, number = b->startNumber()] {
                               auto later = weak.lock();
                               // Gone off screen meanwhile (loading cleared), or started by another way.
                               if (!later || !later->loading || later->downloadTask || later->startNumber() != number) {
                                 return;
                               }
                               later->start(context);
                             });
                           } else if (context->reducePriorityOnDisappear() && b->downloadTask && b->loading) {
                             b->downloadTask->resetPriority();
                           }
                         })
                         .onDisappear([weak, context] {
                           auto b = weak.lock();
                           // A partial image made the binder shown: the load goes on though this layer left.
                           if (!b || b->isShown()) return;
                           if (context->cancelOnDisappear()) {
                             if (b->downloadTask) b->downloadTask->cancel();
                             b->downloadTask.reset();
                             b->loading = false;
                           } else if (context->reducePriorityOnDisappear() && b->downloadTask && b->loading) {
                             b->downloadTask->setPriority(kURLSessionTaskPriorityLow);
                           }
                         }));
  }
  return AnyView::stack(std::move(layers)).onAppear(nullptr);
}

// The renderer under the context's identity: one binder per identity, reused by later values.
template <class HoldingView>
AnyView renderImage(const std::shared_ptr<VLImageContext<HoldingView>>& context) {
  return AnyView::body([context](BuildContext& build) {
           auto binder = build.stateObject<ImageBinder>([] { return std::make_shared<ImageBinder>(); });
           build.observe(*binder);
           return renderImageBody<HoldingView>(binder, context);
         })
      .id(VLImageContextKey<HoldingView>{context});
}

// What VLImage and VLAnimatedImage share: constructors, modifiers by copy-on-modify, the option setters, the
// body.
template <class Derived, class HoldingView>
class VLImageProtocol : public VLOptionSetter<Derived> {
 public:
  using Context = VLImageContext<HoldingView>;

  explicit VLImageProtocol(std::shared_ptr<Context> context) : context_(std::move(context)) {}
  explicit VLImageProtocol(std::optional<Source> source) : context_(Context::make(std::move(source))) {}

  static Derived source(std::optional<Source> source) { return Derived(std::move(source)); }
  static Derived url(const std::optional<URL>& url, const std::optional<std::string>& cacheKey = std::nullopt) {
    return Derived(url ? std::optional<Source>(convertToSource(*url, cacheKey)) : std::nullopt);
  }
  static Derived resource(const Resource* resource) {
    return Derived(resource ? std::optional<Source>(resource->convertToSource()) : std::nullopt);
  }
  static Derived dataProvider(const ImageDataProvider* provider) {
    return Derived(provider ? std::optional<Source>(provider->convertToSource()) : std::nullopt);
  }
  static Derived data(const std::optional<foundation::Bytes>& data, const std::string& cacheKey) {
    if (!data) return Derived(std::optional<Source>());
    RawImageDataProvider provider(*data, cacheKey);
    return dataProvider(&provider);
  }

  const std::shared_ptr<Context>& context() const { return context_; }
  void setContext(std::shared_ptr<Context> context) { context_ = std::move(context); }

  // VLOptionSetter's side: these act on the shared context, so on every value holding it.
  VellumParsedOptionsInfo options() const { return context_->options(); }
  void setOptions(VellumParsedOptionsInfo options) const { context_->setOptions(std::move(options)); }
  template <class F>
  void modifyOptions(F change) {
    context_->modifyOptions(std::move(change));
  }
  VLFailureDelegate& onFailureDelegate() { return *context_->onFailureDelegate; }
  VLSuccessDelegate& onSuccessDelegate() { return *context_->onSuccessDelegate; }
  VLProgressDelegate& onProgressDelegate() { return *context_->onProgressDelegate; }
  Derived copyForMutation() const { return Derived(context_->copy()); }
  // The object the delegate slots are bound to: the context the value holds.
  std::shared_ptr<const void> delegateObserver() const { return context_; }

  Derived placeholder(std::function<AnyView(const Progress&)> make) const {
    return mutate([&](Context& c) { c.setPlaceholder(std::move(make)); });
  }
  Derived placeholder(std::function<AnyView()> make) const {
    return placeholder(std::function<AnyView(const Progress&)>([make](const Progress&) { return make(); }));
  }
  Derived onFailureView(std::function<AnyView()> make) const {
    return mutate([&](Context& c) { c.setFailureView(std::move(make)); });
  }
  Derived onFailureImage(ImagePtr image) const {
    return mutate([&](Context& c) { c.modifyOptions([&](auto& o) { o.onFailureImage = image; }); });
  }
  Derived cancelOnDisappear(bool flag) const {
    return mutate([&](Context& c) { c.setCancelOnDisappear(flag); });
  }
  Derived reducePriorityOnDisappear(bool flag) const {
    return mutate([&](Context& c) { c.setReducePriorityOnDisappear(flag); });
  }
  Derived fade(double duration) const {
    return mutate([&](Context& c) {
      auto options = c.options();
      options.transition = ImageTransition::fade(duration);
      c.setOptions(std::move(options));
    });
  }
  Derived startLoadingBeforeViewAppear(bool flag = true) const {
    return mutate([&](Context& c) { c.setStartLoadingBeforeViewAppear(flag); });
  }
  Derived loadTransition(AnyTransition transition, std::optional<Animation> animation = std::nullopt) const {
    return mutate([&](Context& c) {
      c.setSwiftUITransition(std::move(transition));
      c.setSwiftUIAnimation(animation);
    });
  }
  Derived configure(std::function<HoldingView(HoldingView)> block) const {
    return mutate([&](Context& c) {
      auto list = c.configurations();
      list.push_back(std::move(block));
      c.setConfigurations(std::move(list));
    });
  }
  Derived contentConfigure(std::function<AnyView(HoldingView, bool)> block) const {
    return mutate([&](Context& c) { c.setContentConfiguration(std::move(block)); });
  }
  Derived contentConfigure(std::function<AnyView(HoldingView)> block) const {
    return contentConfigure(std::function<AnyView(HoldingView, bool)>([block](HoldingView v, bool) { return block(std::move(v)); }));
  }

  // A centre-aligned stack with the renderer, identified by the context.
  AnyView body() const { return AnyView::stack({renderImage<HoldingView>(context_)}); }

 protected:
  template <class F>
  Derived mutate(F change) const {
    Derived copy = copyForMutation();
    change(*copy.context());
    return copy;
  }

 private:
  std::shared_ptr<Context> context_;
};

class VLImage : public VLImageProtocol<VLImage, ImageElement> {
 public:
  using VLImageProtocol::VLImageProtocol;
  explicit VLImage(const std::optional<URL>& url)
      : VLImageProtocol(url ? std::optional<Source>(convertToSource(*url)) : std::nullopt) {}

  enum class ResizingMode { tile, stretch };
  enum class TemplateRenderingMode { original, template_ };
  enum class Interpolation { none, low, medium, high };

  VLImage resizable(double top = 0, double leading = 0, double bottom = 0, double trailing = 0,
                    ResizingMode mode = ResizingMode::stretch) const;
  VLImage renderingMode(std::optional<TemplateRenderingMode> mode) const;
  VLImage interpolation(Interpolation interpolation) const;
  VLImage antialiased(bool on) const;
  // Loading starts as the renderer decides whatever is asked: the same value comes back.
  VLImage loadImmediately(bool = true) const { return *this; }
};

}  // namespace vellum
