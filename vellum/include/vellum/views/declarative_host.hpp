#pragma once
// A small declarative view host: views are values with a body, the host builds them into a tree of nodes on
// the main queue, keeps state per identity, fires appear and disappear actions for nodes that came and went,
// and makes each bridged headless view once per identity. Change notices are coalesced: a burst of them is one
// rebuild, and notices that keep coming (images arriving one by one) rebuild at most once per display frame,
// spaced further when a rebuild takes longer than a frame, so the main queue keeps time for other work. A
// rebuild costs time in proportion to the tree's nodes. One that only notices asked for (a scheduled one, or
// rebuildIfNeeded) evaluates again only the bodies that read an object that sent a notice since, and those
// above them: any other body value met again in the same place, laid out the same, stands for what it built
// last time, as long as no bridged view is below it. rebuild() and setRoot() evaluate every body. A node a
// rebuild makes equal to the one that stood in its place before (same kind, values and children; an action or
// a bridged view is never equal to another) is that node, so tree() shares what did not change. Nothing is
// drawn or interpolated: animations and transitions are written to a log that tests read, which keeps its
// latest kLogLimit entries.
//
// Example (on the main queue), given std::vector<vellum::AnyView> rows:
//   vellum::DeclarativeHost host([&] { return vellum::AnyView::stack(rows); });   // main queue
//   host.rebuild();
//   const vellum::AnyView& tree = host.tree();   // the last tree built
//   auto lines = host.logLines();                // "change", "change in linear(0.25)", "insert opacity", ...
//
// A host may live on the stack, in a member or behind `make`'s shared pointer: notices reach it either way,
// and a notice or scheduled rebuild that comes after it is gone finds nothing.
//
// Layout: the root view's bounds are laid out to the root; a stack lays each child on top of the others, in
// the stack's own place; a frame gives its child the sides it names, centred; a bridged view takes the place
// laid out to it.
//
// Identity of a node: its position among its parent's children, or the value of an enclosing `id(...)`.
// State (`BuildContext::stateObject`) lives as long as its identity stays in the tree.
//
// Thread rule: main queue only (checked: a call from elsewhere stops the process naming it), except
// ObservableObject::sendWillChange(), which may come from any thread: the notice moves to the main queue
// before it touches any host. Lifetime: the host is neither copied nor moved; released on another thread, it
// hands what it made (views, state) to the main queue to be let go there.
#include <any>
#include <cstdint>
#include <deque>
#include <functional>
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
  ObservableObject();
  ObservableObject(const ObservableObject&) = delete;
  ObservableObject& operator=(const ObservableObject&) = delete;
  virtual ~ObservableObject() = default;
  // Tells every subscribed host, recording the animation scope of the calling thread. Any thread: on the main
  // queue the hosts hear at once, from elsewhere the notice is queued there (hosts are main-queue state).
  void sendWillChange();

 private:
  friend class BuildContext;
  // The hosts that read this object. Shared with notices still queued, which may outlive the object. Main
  // queue only.
  struct Subscribers;
  std::shared_ptr<Subscribers> subscribers_;
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
    bool (*equals)(const void* value, const void* other) = nullptr;  // two values of `type`
    std::type_index type = typeid(void);
    bool operator==(const Identity& other) const {
      return type == other.type && hash == other.hash && equals(value.get(), other.value.get());
    }
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
                      [](const void* a, const void* b) { return *static_cast<const T*>(a) == *static_cast<const T*>(b); },
                      typeid(T)};
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
    if (!slot.made) {
      slot.object = std::shared_ptr<T>(make());
      slot.made = true;
    }
    return std::static_pointer_cast<T>(slot.object);
  }
  // Rebuild the host when `object` sends a notice.
  void observe(ObservableObject& object);

 private:
  friend class DeclarativeHost;
  struct Scope;  // the host and the identity being built
  // A state object held as it was made, its type kept beside it by the slot's owner: no box of its own to
  // allocate at the first build and to follow at every later one.
  struct Slot {
    std::shared_ptr<void> object;
    bool made = false;  // `make` ran, even if it made nothing
  };
  explicit BuildContext(Scope& scope) : scope_(scope) {}
  Slot& slotFor(std::type_index type);
  Scope& scope_;
  std::size_t nextSlot_ = 0;
};

class DeclarativeHost {
 public:
  struct LogEntry {
    std::string what;                    // "change", "insert <transition>", "remove <transition>"
    std::optional<Animation> animation;  // the scope it happened in
    std::string description() const;    // "change in linear(0.25)"
  };
  // How many of the latest log entries are kept.
  static constexpr std::size_t kLogLimit = 1000;

  // `root` is evaluated at each rebuild. Bridged views are put into `rootView`, itself in a window.
  // REQUIRES: on the main queue (both).
  static std::shared_ptr<DeclarativeHost> make(std::function<AnyView()> root);
  explicit DeclarativeHost(std::function<AnyView()> root);
  ~DeclarativeHost();
  DeclarativeHost(const DeclarativeHost&) = delete;
  DeclarativeHost& operator=(const DeclarativeHost&) = delete;

  // Replaces the root and rebuilds. REQUIRES: on the main queue.
  void setRoot(std::function<AnyView()> root);
  // Builds the tree now, then fires the actions of nodes that left and came. Asked for by a body or a bridge
  // while the host builds, it runs after that build, as a main-queue task of its own. REQUIRES: on the main queue.
  void rebuild();
  // Rebuilds now when notices have asked for a rebuild that has not run yet (one waiting for its frame);
  // answers whether it did. REQUIRES: on the main queue.
  bool rebuildIfNeeded();

  // The last tree built. REQUIRES: on the main queue (these readers too).
  const AnyView& tree() const;
  std::size_t buildCount() const;
  // The latest kLogLimit entries, oldest first.
  const std::deque<LogEntry>& log() const;
  std::vector<std::string> logLines() const;
  const std::shared_ptr<View>& rootView() const;
  std::size_t stateCount() const;

 private:
  friend class BuildContext;
  friend class ObservableObject;
  // Everything the host keeps. Notices and scheduled rebuilds hold it weakly, so that they reach a host
  // however it is owned, and nothing once it is gone.
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace vellum
