#include "vellum/views/vl_animated_image.hpp"

#include "vellum/views/guarded_call.hpp"

namespace vellum {
namespace {

class RepresenterBridge final : public Bridge {
 public:
  explicit RepresenterBridge(VLAnimatedImageViewRepresenter representer) : representer_(std::move(representer)) {}
  std::shared_ptr<View> makeView() const override { return representer_.makeNSView(); }
  void updateView(View& view) const override {
    if (auto* animated = dynamic_cast<AnimatedImageView*>(&view)) representer_.updateNSView(*animated);
  }

 private:
  VLAnimatedImageViewRepresenter representer_;
};

}  // namespace

std::shared_ptr<AnimatedImageView> VLAnimatedImageViewRepresenter::makeNSView() const {
  auto view = AnimatedImageView::make();
  // A render configuration is the application's: one that throws is left out, and the view is still made.
  for (const auto& configure : context->renderConfigurations()) {
    guardedCall("A declarative image's render configuration", [&] { configure(*view); });
  }
  view->setImage(image);
  view->setContentCompressionResistancePriority(kLayoutPriorityDefaultLow, LayoutOrientation::horizontal);
  view->setContentCompressionResistancePriority(kLayoutPriorityDefaultLow, LayoutOrientation::vertical);
  return view;
}

void VLAnimatedImageViewRepresenter::updateNSView(AnimatedImageView& view) const { view.setImage(image); }

AnyView VLAnimatedImageViewRepresenter::anyView() const {
  return AnyView::bridged(std::make_shared<RepresenterBridge>(*this));
}

VLAnimatedImage VLAnimatedImage::configure(std::function<void(AnimatedImageView&)> block) const {
  return mutate([&](Context& c) {
    auto list = c.renderConfigurations();
    list.push_back(std::move(block));
    c.setRenderConfigurations(std::move(list));
  });
}

}  // namespace vellum
