#pragma once
// View and Window: headless stand-ins for a desktop toolkit's view tree. A view holds what a window would
// show (frame, hidden flag, subviews, layout constraints, the layer's contents) and records what a toolkit
// would be asked to do (redraw requests, constraint activations); nothing is drawn.
//
// Example (on the main queue):
//   auto window = vellum::Window::make(/*backingScaleFactor=*/2.0);
//   auto root = vellum::View::make(vellum::Rect{{0, 0}, {100, 100}});
//   window->setContentView(root);        // root->window() == window, viewDidMoveToWindow() called
//   auto child = vellum::View::make();
//   root->addSubview(child);
//   child->setNeedsDisplay(true);
//   window->displayIfNeeded();           // updateLayer() on child when it wantsUpdateLayer()
//
// Subclasses (the image view, the animated image view) override the virtual hooks to follow size, window
// and scale changes as a toolkit's view would.
//
// Thread rule: every member runs on the main queue (checked in every build, the getters as the setters: a
// read from another thread would race on the view as a write would). Lifetime: views are shared
// objects (`make` or std::make_shared); a superview owns its subviews, a subview and a window are referred to
// weakly, so dropping the last outside reference to a tree frees it.
#include <cassert>
#include <memory>
#include <vector>

#include "foundation/main_queue.hpp"
#include "vellum/general/associated_objects.hpp"
#include "vellum/general/geometry.hpp"
#include "vellum/general/main_actor.hpp"
#include "vellum/image/image.hpp"
#include "vellum/views/placeholder.hpp"

// Stops the process, naming the call, when it is made off the main queue. One comparison, kept in every build:
// a view's state belongs to the main queue, and a call from another thread would race on it unseen.
#define VELLUM_REQUIRE_MAIN_QUEUE() \
  (::foundation::MainQueue::isCurrent() ? void() : ::vellum::failMainQueueRequirement(__PRETTY_FUNCTION__))

namespace vellum {

class View;
class Window;

enum class LayoutAttribute { notAnAttribute, left, right, top, bottom, width, height, centerX, centerY };

// One activated layout rule: item.attribute = otherItem.otherAttribute + constant (an absent other item
// makes it item.attribute = constant).
struct LayoutConstraint {
  std::weak_ptr<View> item;
  LayoutAttribute attribute = LayoutAttribute::notAnAttribute;
  std::weak_ptr<View> otherItem;
  LayoutAttribute otherAttribute = LayoutAttribute::notAnAttribute;
  double constant = 0;
  bool active = true;

  bool names(const View& view) const;
};

enum class LayerContentsGravity {
  center, top, bottom, left, right, topLeft, topRight, bottomLeft, bottomRight, resize, resizeAspect, resizeAspectFill
};

// What the view's backing layer shows.
struct Layer {
  ImagePtr contents;
  double contentsScale = 1.0;
  LayerContentsGravity contentsGravity = LayerContentsGravity::resize;
};

enum class LayoutOrientation { horizontal, vertical };

inline constexpr float kLayoutPriorityDefaultHigh = 750;

class View : public PlaceholderView, public AssociatedObjects {
 public:
  explicit View(Rect frame = {});
  ~View() override;
  static std::shared_ptr<View> make(Rect frame = {}) { return std::make_shared<View>(frame); }

  std::shared_ptr<View> self() { return std::static_pointer_cast<View>(shared_from_this()); }

  Rect frame() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return frame_;
  }
  void setFrame(Rect frame);
  void setFrameOrigin(Point origin);
  // Hook: the frame's size changes. Overrides call this base version to store it.
  virtual void setFrameSize(Size size);
  // The view's own coordinate space: origin zero, the frame's size.
  Rect bounds() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return Rect{{0, 0}, frame_.size};
  }

  bool isHidden() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return hidden_;
  }
  void setHidden(bool hidden);

  std::shared_ptr<View> superview() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return superview_.lock();
  }
  const std::vector<std::shared_ptr<View>>& subviews() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return subviews_;
  }
  // Moves `view` here (out of its old superview, or out of the window it was the content view of, first).
  // Calls the moved tree's hooks.
  void addSubview(const std::shared_ptr<View>& view);
  // Drops the view from its superview, and every constraint of the superview's chain that names it or one of
  // its subviews. Does nothing without a superview.
  void removeFromSuperview();
  // What removeFromSuperview does for each of `views` that is a subview of this view, in one walk of the
  // subviews and of the constraints however many leave (one call each walks them all for every view).
  // REQUIRES: on the main queue.
  void removeSubviews(const std::vector<std::shared_ptr<View>>& views);
  bool isDescendant(const View& ancestor) const;

  std::shared_ptr<Window> window() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return window_.lock();
  }
  // The window's scale factor; 1 outside a window.
  double backingScaleFactor() const;

  bool translatesAutoresizingMaskIntoConstraints() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return translatesAutoresizingMask_;
  }
  void setTranslatesAutoresizingMaskIntoConstraints(bool value) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    translatesAutoresizingMask_ = value;
  }
  // The constraints this view holds (those activated with it as the nearest common ancestor of their items).
  const std::vector<std::shared_ptr<LayoutConstraint>>& constraints() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return constraints_;
  }
  // Activates item.attribute = other.otherAttribute + constant on the items' nearest common ancestor (the
  // item itself without another item). REQUIRES: the items share a tree.
  static std::shared_ptr<LayoutConstraint> activate(const std::shared_ptr<View>& item, LayoutAttribute attribute,
                                                    const std::shared_ptr<View>& other,
                                                    LayoutAttribute otherAttribute, double constant = 0);
  // Every active constraint held in this view's tree that names `view`.
  std::vector<std::shared_ptr<LayoutConstraint>> constraintsNaming(const View& view) const;

  float contentCompressionResistancePriority(LayoutOrientation orientation) const;
  void setContentCompressionResistancePriority(float priority, LayoutOrientation orientation);

  bool needsDisplay() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return needsDisplay_;
  }
  void setNeedsDisplay(bool value);
  // Marks the view and keeps the rectangle, as a toolkit would for a partial redraw.
  void setNeedsDisplayInRect(Rect rect);
  const std::vector<Rect>& dirtyRects() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return dirtyRects_;
  }
  // The display pass over this tree: each marked view that wants a layer update gets `updateLayer()`;
  // marks and rectangles are cleared.
  void displayIfNeeded();

  Layer& layer() {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return layer_;
  }
  const Layer& layer() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return layer_;
  }

  // Hooks.
  virtual void viewDidMoveToWindow() {}
  virtual void viewDidMoveToSuperview() {}
  virtual void viewDidChangeBackingProperties() {}
  virtual bool wantsUpdateLayer() const { return false; }
  virtual void updateLayer() {}

 private:
  friend class Window;
  void moveToWindow(const std::shared_ptr<Window>& window);
  void backingPropertiesChanged();

  Rect frame_;
  bool hidden_ = false;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<Window> window_;
  bool translatesAutoresizingMask_ = true;
  std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
  float horizontalCompressionResistance_ = kLayoutPriorityDefaultHigh;
  float verticalCompressionResistance_ = kLayoutPriorityDefaultHigh;
  bool needsDisplay_ = false;
  std::vector<Rect> dirtyRects_;
  Layer layer_;
};

class Window : public std::enable_shared_from_this<Window> {
 public:
  explicit Window(double backingScaleFactor = 1.0) : backingScaleFactor_(backingScaleFactor) {}
  static std::shared_ptr<Window> make(double backingScaleFactor = 1.0) {
    return std::make_shared<Window>(backingScaleFactor);
  }

  double backingScaleFactor() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return backingScaleFactor_;
  }
  // Tells every view of the window's tree through `viewDidChangeBackingProperties()` when the value changes.
  void setBackingScaleFactor(double scale);

  std::shared_ptr<View> contentView() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return contentView_;
  }
  // The old content view's tree leaves the window, the new one joins it; both get `viewDidMoveToWindow()`. A
  // view that was another window's content view, or a subview, leaves that place first.
  void setContentView(std::shared_ptr<View> view);
  void displayIfNeeded();

 private:
  friend class View;
  // Forgets `view` as the content view, when it is, as it moves elsewhere. REQUIRES: the caller holds the view.
  void letGoOfContentView(const View& view);

  double backingScaleFactor_;
  std::shared_ptr<View> contentView_;
};

}  // namespace vellum
