#include "vellum/views/declarative_host.hpp"

#include <algorithm>
#include <sstream>

#include "foundation/main_queue.hpp"

namespace vellum {

struct AnyView::Node {
  Kind kind = Kind::empty;
  std::vector<AnyView> children;
  ImagePtr image;
  std::vector<std::string> modifiers;
  double opacity = 1.0;
  std::optional<double> width, height;
  AnyTransition transition;
  Identity identity;
  std::function<void()> action;
  std::shared_ptr<const Bridge> bridge;
  std::function<AnyView(BuildContext&)> body;
  std::shared_ptr<View> bridgedView;
};

namespace {

thread_local std::vector<std::optional<Animation>> animationScopes;

// The identity of a child that has no id of its own: its place among its parent's children.
struct Position {
  std::size_t index;
  bool operator==(const Position&) const = default;
};

AnyView::Identity positionIdentity(std::size_t index) {
  auto value = std::make_shared<const Position>(Position{index});
  return AnyView::Identity{index, value,
                           [value](const void* other) { return *value == *static_cast<const Position*>(other); },
                           typeid(Position)};
}

const std::vector<AnyView> kNoChildren;

}  // namespace

std::string Animation::description() const {
  if (kind != Kind::linear) return "default";
  std::ostringstream out;
  out << "linear(" << duration << ")";
  return out.str();
}

std::optional<Animation> currentAnimation() {
  return animationScopes.empty() ? std::nullopt : animationScopes.back();
}

void withAnimation(std::optional<Animation> animation, const std::function<void()>& body) {
  animationScopes.push_back(animation);
  struct Pop {
    ~Pop() { animationScopes.pop_back(); }
  } pop;
  body();
}

void ObservableObject::sendWillChange() {
  // The scope is the sender's: read it on the sender's thread, whichever queue then delivers the notice.
  auto animation = currentAnimation();
  if (foundation::MainQueue::isCurrent()) {
    subscribers_->notify(animation);
    return;
  }
  foundation::MainQueue::post([subscribers = subscribers_, animation] { subscribers->notify(animation); });
}

void ObservableObject::Subscribers::notify(const std::optional<Animation>& animation) {
  std::erase_if(hosts, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : hosts) {
    if (auto host = weak.lock()) host->noticeSent(animation);
  }
}

AnyView AnyView::stack(std::vector<AnyView> children) {
  auto node = std::make_shared<Node>();
  node->kind = Kind::stack;
  node->children = std::move(children);
  return AnyView(node);
}

AnyView AnyView::clear() {
  auto node = std::make_shared<Node>();
  node->kind = Kind::clear;
  return AnyView(node);
}

AnyView AnyView::image(ImagePtr image, std::vector<std::string> modifiers) {
  auto node = std::make_shared<Node>();
  node->kind = Kind::image;
  node->image = std::move(image);
  node->modifiers = std::move(modifiers);
  return AnyView(node);
}

AnyView AnyView::bridged(std::shared_ptr<const Bridge> bridge) {
  auto node = std::make_shared<Node>();
  node->kind = Kind::bridged;
  node->bridge = std::move(bridge);
  return AnyView(node);
}

AnyView AnyView::body(std::function<AnyView(BuildContext&)> body) {
  auto node = std::make_shared<Node>();
  node->kind = Kind::body;
  node->body = std::move(body);
  return AnyView(node);
}

AnyView AnyView::wrap(Kind kind, const std::function<void(Node&)>& fill) const {
  auto node = std::make_shared<Node>();
  node->kind = kind;
  node->children = {*this};
  fill(*node);
  return AnyView(node);
}

AnyView AnyView::opacity(double value) const {
  return wrap(Kind::opacity, [value](Node& n) { n.opacity = value; });
}

AnyView AnyView::frame(std::optional<double> width, std::optional<double> height) const {
  return wrap(Kind::frame, [=](Node& n) {
    n.width = width;
    n.height = height;
  });
}

AnyView AnyView::transition(AnyTransition transition) const {
  return wrap(Kind::transition, [&transition](Node& n) { n.transition = transition; });
}

AnyView AnyView::withIdentity(Identity identity) const {
  return wrap(Kind::identity, [&identity](Node& n) { n.identity = std::move(identity); });
}

AnyView AnyView::onAppear(std::function<void()> action) const {
  return wrap(Kind::onAppear, [&action](Node& n) { n.action = std::move(action); });
}

AnyView AnyView::onDisappear(std::function<void()> action) const {
  return wrap(Kind::onDisappear, [&action](Node& n) { n.action = std::move(action); });
}

AnyView::Kind AnyView::kind() const { return node_ ? node_->kind : Kind::empty; }
const std::vector<AnyView>& AnyView::children() const { return node_ ? node_->children : kNoChildren; }
const ImagePtr& AnyView::imageValue() const { return node_->image; }
const std::vector<std::string>& AnyView::imageModifiers() const { return node_->modifiers; }
double AnyView::opacityValue() const { return node_->opacity; }
std::optional<double> AnyView::width() const { return node_->width; }
std::optional<double> AnyView::height() const { return node_->height; }
const AnyTransition& AnyView::transitionValue() const { return node_->transition; }
const AnyView::Identity& AnyView::identity() const { return node_->identity; }
const std::function<void()>& AnyView::action() const { return node_->action; }
const std::shared_ptr<const Bridge>& AnyView::bridge() const { return node_->bridge; }
const std::function<AnyView(BuildContext&)>& AnyView::bodyFunction() const { return node_->body; }
const std::shared_ptr<View>& AnyView::bridgedView() const { return node_->bridgedView; }

std::vector<AnyView> AnyView::findAll(Kind wanted) const {
  std::vector<AnyView> found;
  if (!node_) return found;
  if (node_->kind == wanted) found.push_back(*this);
  for (const auto& child : node_->children) {
    auto below = child.findAll(wanted);
    found.insert(found.end(), below.begin(), below.end());
  }
  return found;
}

void BuildContext::observe(ObservableObject& object) {
  auto& hosts = object.subscribers_->hosts;
  for (const auto& weak : hosts) {
    if (weak.lock().get() == &host_) return;
  }
  hosts.push_back(host_.weak_from_this());
}

std::any& BuildContext::slotFor(std::type_index type) {
  auto& state = host_.stateFor(host_.buildingPath_);
  const std::size_t slot = nextSlot_++;
  if (slot >= state.slots.size()) state.slots.emplace_back(type, std::any{});
  return state.slots[slot].second;
}

std::string DeclarativeHost::LogEntry::description() const {
  return animation ? what + " in " + animation->description() : what;
}

std::shared_ptr<DeclarativeHost> DeclarativeHost::make(std::function<AnyView()> root) {
  return std::make_shared<DeclarativeHost>(std::move(root));
}

DeclarativeHost::DeclarativeHost(std::function<AnyView()> root)
    : root_(std::move(root)), window_(Window::make(1.0)), rootView_(View::make(Rect{{0, 0}, {320, 480}})) {
  window_->setContentView(rootView_);
}

void DeclarativeHost::setRoot(std::function<AnyView()> root) {
  root_ = std::move(root);
  rebuild();
}

std::vector<std::string> DeclarativeHost::logLines() const {
  std::vector<std::string> lines;
  for (const auto& entry : log_) lines.push_back(entry.description());
  return lines;
}

void DeclarativeHost::noticeSent(std::optional<Animation> animation) {
  log_.push_back({"change", animation});
  if (animation) pendingAnimation_ = animation;
  if (rebuildQueued_) return;
  rebuildQueued_ = true;
  // Every notice of one burst lands before this rebuild runs: one rebuild for all of them.
  foundation::MainQueue::post([weak = weak_from_this()] {
    if (auto host = weak.lock()) host->rebuild();
  });
}

DeclarativeHost::State& DeclarativeHost::stateFor(const Path& path) {
  for (auto& state : states_) {
    if (state.path == path) {
      state.visited = true;
      return state;
    }
  }
  states_.push_back(State{path, {}, nullptr, true});
  return states_.back();
}

AnyView DeclarativeHost::build(const AnyView& view, Path path, Rect bounds) {
  if (!view.node_) return view;
  auto built = std::make_shared<AnyView::Node>(*view.node_);
  switch (built->kind) {
    case AnyView::Kind::body: {
      buildingPath_ = path;
      stateFor(path);
      BuildContext context(*this);
      AnyView result = built->body(context);
      path.push_back(positionIdentity(0));
      return build(result, std::move(path), bounds);
    }
    case AnyView::Kind::stack:
      for (std::size_t i = 0; i < built->children.size(); ++i) {
        // A child with an id of its own is known by it, wherever it stands.
        Path childPath = path;
        if (built->children[i].kind() != AnyView::Kind::identity) childPath.push_back(positionIdentity(i));
        built->children[i] = build(built->children[i], std::move(childPath), bounds);
      }
      return AnyView(built);
    case AnyView::Kind::identity: {
      Path childPath = path;
      childPath.push_back(built->identity);
      built->children[0] = build(built->children[0], std::move(childPath), bounds);
      return AnyView(built);
    }
    case AnyView::Kind::bridged: {
      State& state = stateFor(path);
      if (!state.bridgedView) {
        state.bridgedView = built->bridge->makeView();
        rootView_->addSubview(state.bridgedView);
      }
      // A bridged view takes the place its row lays out, as a view in a toolkit's layout would: without a
      // size it has nothing to show (an animated image decodes no frame for a view of no size).
      state.bridgedView->setFrame(bounds);
      built->bridge->updateView(*state.bridgedView);
      built->bridgedView = state.bridgedView;
      return AnyView(built);
    }
    case AnyView::Kind::onAppear:
    case AnyView::Kind::onDisappear:
    case AnyView::Kind::transition:
      built->children[0] = build(built->children[0], path, bounds);
      buildingMarks_.push_back(Mark{std::move(path), AnyView(built)});
      return AnyView(built);
    case AnyView::Kind::opacity:
      built->children[0] = build(built->children[0], std::move(path), bounds);
      return AnyView(built);
    case AnyView::Kind::frame: {
      // The sides given are the child's; the others are the parent's. Centre alignment.
      const Size size{built->width.value_or(bounds.size.width), built->height.value_or(bounds.size.height)};
      const Rect placed{{bounds.midX() - size.width / 2, bounds.midY() - size.height / 2}, size};
      built->children[0] = build(built->children[0], std::move(path), placed);
      return AnyView(built);
    }
    default:
      return AnyView(built);
  }
}

void DeclarativeHost::rebuild() {
  rebuildQueued_ = false;
  const auto animation = pendingAnimation_;
  pendingAnimation_.reset();
  for (auto& state : states_) state.visited = false;
  buildingMarks_.clear();
  tree_ = build(root_ ? root_() : AnyView(), {}, rootView_->bounds());
  ++buildCount_;

  // State lives while its identity is in the tree; what left is kept until the disappear actions, which
  // hold it weakly, have run.
  std::vector<State> kept, left;
  for (auto& state : states_) {
    if (!state.visited && state.bridgedView) state.bridgedView->removeFromSuperview();
    (state.visited ? kept : left).push_back(std::move(state));
  }
  states_ = std::move(kept);

  auto sameMark = [](const Mark& a, const Mark& b) { return a.node.kind() == b.node.kind() && a.path == b.path; };
  auto contains = [&sameMark](const std::vector<Mark>& marks, const Mark& mark) {
    return std::any_of(marks.begin(), marks.end(), [&](const Mark& m) { return sameMark(m, mark); });
  };
  std::vector<std::function<void()>> actions;
  for (const Mark& old : marks_) {
    if (contains(buildingMarks_, old)) continue;
    if (old.node.kind() == AnyView::Kind::onDisappear && old.node.action()) actions.push_back(old.node.action());
    if (old.node.kind() == AnyView::Kind::transition) log_.push_back({"remove " + old.node.transitionValue().name, animation});
  }
  for (const Mark& now : buildingMarks_) {
    if (contains(marks_, now)) continue;
    if (now.node.kind() == AnyView::Kind::onAppear && now.node.action()) actions.push_back(now.node.action());
    if (now.node.kind() == AnyView::Kind::transition) log_.push_back({"insert " + now.node.transitionValue().name, animation});
  }
  marks_ = std::move(buildingMarks_);
  buildingMarks_.clear();
  // Run after the tree is in place: an action may send notices, which queue the next rebuild.
  for (auto& action : actions) action();
}

}  // namespace vellum
