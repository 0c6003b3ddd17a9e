#pragma once
// A small declarative view host: views are values with a body, the host builds them into a tree of nodes on
// the main queue, keeps state per identity, rebuilds once per burst of change notices, fires appear and
// disappear actions for nodes that came and went, and makes each bridged headless view once per identity.
// Nothing is drawn or interpolated: animations and transitions are written to a log that tests read.
//
//   vellum::DeclarativeHost host([&] { return vellum::AnyView::stack(rows); });   // main queue
//   host.rebuild();
//   host.tree();                       // the last tree built
//   host.log();                        // "change", "change in linear(0.25)", "insert opacity", ...
//
// Layout: the root view's bounds are laid out to the root; a stack lays each child on top of the others, in
// the stack's own place; a frame gives its child the sides it names, centred; a bridged view takes the place
// laid out to it.
//
// Identity of a node: its position among its parent's children, or the value of an enclosing `id(...)`.
// State (`BuildContext::stateObject`) lives as long as its identity stays in the tree.
//
// Thread rule: main queue only, except ObservableObject::sendWillChange(), which may come from any thread:
// the notice moves to the main queue before it touches any host.
#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "vellum/image/image.hpp"
#include "vellum/views/view.hpp"

namespace vellum {

struct Animation {
  enum class Kind { defaultCurve, linear };
  Kind kind = Kind::defaultCurve;
  double duration = 0.35;

  static Animation defaultAnimation() { return {}; }
  static Animation linear(double duration) { return {Kind::linear, duration}; }
  std::string description() const;
  friend bool operator==(const Animation&, const Animation&) = default;
};

struct AnyTransition {
  std::string name;
  static AnyTransition opacity() { return {"opacity"}; }
  static AnyTransition slide() { return {"slide"}; }
  friend bool operator==(const AnyTransition&, const AnyTransition&) = default;
};

// The animation of the innermost `withAnimation` running on this thread; none outside any.
std::optional<Animation> currentAnimation();
void withAnimation(std::optional<Animation> animation, const std::function<void()>& body);

// Progress of one task: completed of total units.
class Progress {
 public:
  std::int64_t totalUnitCount = 0;
  std::int64_t completedUnitCount = 0;
};

class DeclarativeHost;

// An object whose changes rebuild the hosts that read it.
class ObservableObject {
 public:
  ObservableObject() = default;
  ObservableObject(const ObservableObject&) = delete;
  ObservableObject& operator=(const ObservableObject&) = delete;
  virtual ~ObservableObject() = default;
  // Tells every subscribed host, recording the animation scope of the calling thread. Any thread: on the main
  // queue the hosts hear at once, from elsewhere the notice is queued there (hosts are main-queue state).
  void sendWillChange();

 private:
  friend class DeclarativeHost;
  friend class BuildContext;
  // Shared with notices still queued, which may outlive the object. Main queue only.
  struct Subscribers {
    std::vector<std::weak_ptr<DeclarativeHost>> hosts;
    void notify(const std::optional<Animation>& animation);
  };
  std::shared_ptr<Subscribers> subscribers_ = std::make_shared<Subscribers>();
};

// A headless view put into the tree: made once per identity, updated at every rebuild.
class Bridge {
 public:
  virtual ~Bridge() = default;
  virtual std::shared_ptr<View> makeView() const = 0;
  virtual void updateView(View& view) const = 0;
};

class BuildContext;

// One node of a declarative tree. A value: modifiers return a new node wrapping this one.
class AnyView {
 public:
  enum class Kind { empty, stack, clear, image, opacity, frame, transition, identity, onAppear, onDisappear, bridged, body };

  struct Identity {
    std::size_t hash = 0;
    std::shared_ptr<const void> value;
    std::function<bool(const void* other)> equals;  // other is a value of the same type
    std::type_index type = typeid(void);
    bool operator==(const Identity& other) const { return type == other.type && hash == other.hash && equals(other.value.get()); }
  };

  AnyView() = default;
  static AnyView stack(std::vector<AnyView> children);
  static AnyView clear();
  // A picture with the names of the image modifiers applied to it, in order.
  static AnyView image(ImagePtr image, std::vector<std::string> modifiers = {});
  static AnyView bridged(std::shared_ptr<const Bridge> bridge);
  // A view value's body, evaluated while the tree is built.
  static AnyView body(std::function<AnyView(BuildContext&)> body);

  AnyView opacity(double value) const;
  // Absent sides are unconstrained; the alignment is the centre.
  AnyView frame(std::optional<double> width, std::optional<double> height) const;
  AnyView transition(AnyTransition transition) const;
  template <class T>
  AnyView id(T value) const {
    auto shared = std::make_shared<const T>(std::move(value));
    Identity identity{std::hash<T>{}(*shared), shared,
                      [shared](const void* other) { return *shared == *static_cast<const T*>(other); }, typeid(T)};
    return withIdentity(std::move(identity));
  }
  AnyView onAppear(std::function<void()> action) const;
  AnyView onDisappear(std::function<void()> action) const;

  Kind kind() const;
  bool isEmpty() const { return !node_; }
  const std::vector<AnyView>& children() const;
  // The one child of a modifier node.
  const AnyView& child() const { return children().front(); }
  const ImagePtr& imageValue() const;
  const std::vector<std::string>& imageModifiers() const;
  double opacityValue() const;
  std::optional<double> width() const;
  std::optional<double> height() const;
  const AnyTransition& transitionValue() const;
  const Identity& identity() const;
  const std::function<void()>& action() const;
  const std::shared_ptr<const Bridge>& bridge() const;
  const std::function<AnyView(BuildContext&)>& bodyFunction() const;
  // The headless view a built bridged node shows.
  const std::shared_ptr<View>& bridgedView() const;

  // Depth-first, in order: every node of `kind` below and including this one.
  std::vector<AnyView> findAll(Kind kind) const;

 private:
  friend class DeclarativeHost;
  struct Node;
  explicit AnyView(std::shared_ptr<Node> node) : node_(std::move(node)) {}
  AnyView wrap(Kind kind, const std::function<void(Node&)>& fill) const;
  AnyView withIdentity(Identity identity) const;
  std::shared_ptr<const Node> node_;
};

// What a body reads while it is built: state of its identity, and subscriptions to observable objects.
class BuildContext {
 public:
  // The object of this identity and slot, made by `make` the first time; later builds return the same one.
  template <class T>
  std::shared_ptr<T> stateObject(const std::function<std::shared_ptr<T>()>& make) {
    auto& slot = slotFor(typeid(T));
    if (!slot.has_value()) slot = std::shared_ptr<T>(make());
    return std::any_cast<std::shared_ptr<T>>(slot);
  }
  // Rebuild the host when `object` sends a notice.
  void observe(ObservableObject& object);

 private:
  friend class DeclarativeHost;
  explicit BuildContext(DeclarativeHost& host) : host_(host) {}
  std::any& slotFor(std::type_index type);
  DeclarativeHost& host_;
  std::size_t nextSlot_ = 0;
};

class DeclarativeHost : public std::enable_shared_from_this<DeclarativeHost> {
 public:
  struct LogEntry {
    std::string what;                    // "change", "insert <transition>", "remove <transition>"
    std::optional<Animation> animation;  // the scope it happened in
    std::string description() const;    // "change in linear(0.25)"
  };

  // `root` is evaluated at each rebuild. Bridged views are put into `rootView`, itself in a window.
  static std::shared_ptr<DeclarativeHost> make(std::function<AnyView()> root);
  explicit DeclarativeHost(std::function<AnyView()> root);

  void setRoot(std::function<AnyView()> root);
  // Builds the tree now, then fires the actions of nodes that left and came.
  void rebuild();
  const AnyView& tree() const { return tree_; }
  std::size_t buildCount() const { return buildCount_; }
  const std::vector<LogEntry>& log() const { return log_; }
  std::vector<std::string> logLines() const;
  const std::shared_ptr<View>& rootView() const { return rootView_; }
  std::size_t stateCount() const { return states_.size(); }

 private:
  friend class BuildContext;
  friend class ObservableObject;
  using Path = std::vector<AnyView::Identity>;  // position segments are identities over the index
  struct State {
    Path path;
    std::vector<std::pair<std::type_index, std::any>> slots;
    std::shared_ptr<View> bridgedView;
    bool visited = false;
  };
  struct Mark {
    Path path;
    AnyView node;
  };

  void noticeSent(std::optional<Animation> animation);
  // `bounds`: the place the parent lays out for the node, in the root view's coordinates.
  AnyView build(const AnyView& node, Path path, Rect bounds);
  State& stateFor(const Path& path);

  std::function<AnyView()> root_;
  AnyView tree_;
  std::vector<State> states_;
  std::vector<Mark> marks_;           // appear, disappear and transition nodes of the last tree
  std::vector<Mark> buildingMarks_;
  Path buildingPath_;
  bool rebuildQueued_ = false;
  std::optional<Animation> pendingAnimation_;
  std::size_t buildCount_ = 0;
  std::vector<LogEntry> log_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<View> rootView_;
};

}  // namespace vellum
