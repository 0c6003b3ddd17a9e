#include "vellum/views/view.hpp"

#include <algorithm>
#include <functional>
#include <unordered_set>
#include <utility>

namespace vellum {

namespace {

void forEachInTree(View& root, const std::function<void(View&)>& visit) {
  visit(root);
  // A hook may change the tree; walk a copy of the list.
  auto children = root.subviews();
  for (auto& child : children) forEachInTree(*child, visit);
}

}  // namespace

bool LayoutConstraint::names(const View& view) const {
  auto a = item.lock();
  auto b = otherItem.lock();
  return a.get() == &view || b.get() == &view;
}

View::View(Rect frame) : frame_(frame) {}

View::~View() = default;

void View::setFrame(Rect frame) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  setFrameOrigin(frame.origin);
  if (frame.size != frame_.size) setFrameSize(frame.size);
}

void View::setFrameOrigin(Point origin) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  frame_.origin = origin;
}

void View::setFrameSize(Size size) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  frame_.size = size;
}

void View::setHidden(bool hidden) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  hidden_ = hidden;
}

void View::addSubview(const std::shared_ptr<View>& view) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!view || view.get() == this || isDescendant(*view)) return;
  if (view->superview().get() == this) return;
  view->removeFromSuperview();
  if (auto shownIn = view->window()) shownIn->letGoOfContentView(*view);
  subviews_.push_back(view);
  view->superview_ = self();
  view->viewDidMoveToSuperview();
  auto ownWindow = window();
  if (view->window() != ownWindow) view->moveToWindow(ownWindow);
}

void View::removeFromSuperview() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  auto parent = superview();
  if (!parent) return;
  auto keepAlive = self();
  // A constraint naming this view or one inside it has nothing left to hold on to.
  for (auto ancestor = parent; ancestor; ancestor = ancestor->superview()) {
    std::erase_if(ancestor->constraints_, [&](const std::shared_ptr<LayoutConstraint>& c) {
      auto a = c->item.lock();
      auto b = c->otherItem.lock();
      return (a && (a.get() == this || a->isDescendant(*this))) || (b && (b.get() == this || b->isDescendant(*this)));
    });
  }
  std::erase_if(parent->subviews_, [&](const std::shared_ptr<View>& v) { return v.get() == this; });
  superview_.reset();
  viewDidMoveToSuperview();
  if (window()) moveToWindow(nullptr);
}

void View::removeSubviews(const std::vector<std::shared_ptr<View>>& views) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  std::unordered_set<const View*> leaving;
  for (const auto& view : views) {
    if (view && view->superview().get() == this) leaving.insert(view.get());
  }
  if (leaving.empty()) return;
  auto keepAlive = self();
  // Whether `item` is one of the leaving views or inside one: the subview of this view it stands under leaves.
  auto goes = [&](const std::shared_ptr<View>& item) {
    if (!item) return false;
    const View* below = item.get();
    for (auto parent = item->superview(); parent; parent = parent->superview()) {
      if (parent.get() == this) return leaving.count(below) > 0;
      below = parent.get();
    }
    return false;
  };
  for (auto ancestor = keepAlive; ancestor; ancestor = ancestor->superview()) {
    std::erase_if(ancestor->constraints_, [&](const std::shared_ptr<LayoutConstraint>& c) {
      return goes(c->item.lock()) || goes(c->otherItem.lock());
    });
  }
  std::vector<std::shared_ptr<View>> removed;
  removed.reserve(leaving.size());
  std::erase_if(subviews_, [&](const std::shared_ptr<View>& v) {
    if (!leaving.count(v.get())) return false;
    removed.push_back(v);
    return true;
  });
  for (const auto& view : removed) {
    view->superview_.reset();
    view->viewDidMoveToSuperview();
    if (view->window()) view->moveToWindow(nullptr);
  }
}

bool View::isDescendant(const View& ancestor) const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  for (auto parent = superview(); parent; parent = parent->superview()) {
    if (parent.get() == &ancestor) return true;
  }
  return false;
}

double View::backingScaleFactor() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  auto w = window();
  return w ? w->backingScaleFactor() : 1.0;
}

std::shared_ptr<LayoutConstraint> View::activate(const std::shared_ptr<View>& item, LayoutAttribute attribute,
                                                 const std::shared_ptr<View>& other, LayoutAttribute otherAttribute,
                                                 double constant) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  auto constraint = std::make_shared<LayoutConstraint>();
  constraint->item = item;
  constraint->attribute = attribute;
  constraint->otherItem = other;
  constraint->otherAttribute = other ? otherAttribute : LayoutAttribute::notAnAttribute;
  constraint->constant = constant;
  std::shared_ptr<View> holder = item;
  if (other) {
    // The nearest common ancestor: walk up from the item until the other one lies inside it.
    while (holder && !(other.get() == holder.get() || other->isDescendant(*holder))) holder = holder->superview();
    assert(holder && "the items of a constraint share a tree");
    if (!holder) holder = item;
  }
  holder->constraints_.push_back(constraint);
  return constraint;
}

std::vector<std::shared_ptr<LayoutConstraint>> View::constraintsNaming(const View& view) const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  std::vector<std::shared_ptr<LayoutConstraint>> found;
  std::function<void(const View&)> walk = [&](const View& v) {
    for (auto& c : v.constraints_) {
      if (c->active && c->names(view)) found.push_back(c);
    }
    for (auto& child : v.subviews_) walk(*child);
  };
  walk(*this);
  return found;
}

float View::contentCompressionResistancePriority(LayoutOrientation orientation) const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  return orientation == LayoutOrientation::horizontal ? horizontalCompressionResistance_
                                                       : verticalCompressionResistance_;
}

void View::setContentCompressionResistancePriority(float priority, LayoutOrientation orientation) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  (orientation == LayoutOrientation::horizontal ? horizontalCompressionResistance_
                                                : verticalCompressionResistance_) = priority;
}

void View::setNeedsDisplay(bool value) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  needsDisplay_ = value;
  if (!value) dirtyRects_.clear();
}

void View::setNeedsDisplayInRect(Rect rect) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  needsDisplay_ = true;
  dirtyRects_.push_back(rect);
}

void View::displayIfNeeded() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  forEachInTree(*this, [](View& v) {
    if (!v.needsDisplay_) return;
    v.needsDisplay_ = false;
    v.dirtyRects_.clear();
    if (v.wantsUpdateLayer()) v.updateLayer();
  });
}

void View::moveToWindow(const std::shared_ptr<Window>& window) {
  double oldScale = backingScaleFactor();
  forEachInTree(*this, [&](View& v) {
    v.window_ = window;
    v.viewDidMoveToWindow();
  });
  if (window && window->backingScaleFactor() != oldScale) backingPropertiesChanged();
}

void View::backingPropertiesChanged() {
  forEachInTree(*this, [](View& v) { v.viewDidChangeBackingProperties(); });
}

void Window::setBackingScaleFactor(double scale) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (scale == backingScaleFactor_) return;
  backingScaleFactor_ = scale;
  if (contentView_) contentView_->backingPropertiesChanged();
}

void Window::letGoOfContentView(const View& view) {
  // Nothing moves: the view goes on to its new place, which tells it of its window.
  if (contentView_.get() == &view) contentView_.reset();
}

void Window::setContentView(std::shared_ptr<View> view) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (view == contentView_) return;
  // A view is the content of one window at most: the window it was content of lets go of it.
  if (auto shownIn = view ? view->window() : nullptr) shownIn->letGoOfContentView(*view);
  auto old = std::exchange(contentView_, std::move(view));
  if (old) old->moveToWindow(nullptr);
  if (contentView_) {
    contentView_->removeFromSuperview();
    contentView_->moveToWindow(shared_from_this());
  }
}

void Window::displayIfNeeded() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (contentView_) contentView_->displayIfNeeded();
}

}  // namespace vellum
