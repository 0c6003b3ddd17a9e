#include "vellum/views/declarative_host.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <span>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>

#include "foundation/main_queue.hpp"
#include "vellum/views/guarded_call.hpp"

namespace vellum {

struct AnyView::Node {
  struct Picture {
    ImagePtr image;
    std::vector<std::string> modifiers;
  };
  struct Sides {
    std::optional<double> width, height;
  };
  struct Bridged {
    std::shared_ptr<const Bridge> bridge;
    std::shared_ptr<View> view;  // the headless view of a built node
  };
  std::vector<AnyView> children;
  // Each kind carries at most one thing beside its children. One slot for all of them keeps a node small: a
  // rebuild makes and lets go of several nodes per row, and a list of thousands of rows outgrows the caches
  // long before it outgrows anything else. The kind lies in the slot's tail padding, which keeps a node and
  // its shared count within a smaller block of the heap.
  [[no_unique_address]] std::variant<std::monostate, Picture, double, Sides, AnyTransition, Identity,
                                     std::function<void()>, Bridged, std::function<AnyView(BuildContext&)>>
      payload;
  Kind kind = Kind::empty;

  template <class T>
  const T* as() const {
    return std::get_if<T>(&payload);
  }
};

namespace {

thread_local std::vector<std::optional<Animation>> animationScopes;

// The identity of a child that has no id of its own: its place among its parent's children. The place is the
// identity's hash, which equality compares first; there is no value to allocate.
struct Position {};

AnyView::Identity positionIdentity(std::size_t index) {
  return AnyView::Identity{index, nullptr, [](const void*, const void*) { return true; }, typeid(Position)};
}

const std::vector<AnyView> kNoChildren;

// Identities from the root to a node: how the host knows a node again at the next build. Building grows and
// shrinks one Path; a state's key keeps it as a StoredPath, a mark's place as a MarkPath.
using Path = std::vector<AnyView::Identity>;
using PathView = std::span<const AnyView::Identity>;

// A path kept, its identities in place when there are few: a list's rows and their marks lie a few levels
// down, and a path of its own allocation is one more object per row to make at the first build (and, for a
// state's key, to fetch from far away at every later one). Deeper paths go to the heap. A state's key holds
// few, as every rebuild reads the entry it lies in.
template <std::size_t kInPlace>
class StoredPath {
 public:
  explicit StoredPath(PathView path) : size_(path.size()) {
    if (size_ <= kInPlace) {
      std::copy(path.begin(), path.end(), inPlace_.begin());
    } else {
      onHeap_ = std::make_unique<AnyView::Identity[]>(size_);
      std::copy(path.begin(), path.end(), onHeap_.get());
    }
  }
  PathView view() const { return PathView(size_ <= kInPlace ? inPlace_.data() : onHeap_.get(), size_); }
  // Where its identities are, to ask for them ahead.
  const void* data() const { return view().data(); }

 private:
  std::size_t size_;
  std::array<AnyView::Identity, kInPlace> inPlace_;
  std::unique_ptr<AnyView::Identity[]> onHeap_;
};
using StateKey = StoredPath<2>;

// Identities compared as AnyView::Identity does, but one value held twice (a row value built again, a path
// kept from the build before) is equal without a look at it: a long list's keys stay out of the caches.
bool sameIdentity(const AnyView::Identity& a, const AnyView::Identity& b) {
  return a.type == b.type && a.hash == b.hash && (a.value == b.value || a.equals(a.value.get(), b.value.get()));
}

struct SamePath {
  using is_transparent = void;
  bool operator()(PathView a, PathView b) const { return std::equal(a.begin(), a.end(), b.begin(), b.end(), sameIdentity); }
  template <std::size_t N, std::size_t M>
  bool operator()(const StoredPath<N>& a, const StoredPath<M>& b) const { return (*this)(a.view(), b.view()); }
  template <std::size_t N>
  bool operator()(const StoredPath<N>& a, PathView b) const { return (*this)(a.view(), b); }
  template <std::size_t N>
  bool operator()(PathView a, const StoredPath<N>& b) const { return (*this)(a, b.view()); }
};

struct PathHash {
  using is_transparent = void;
  template <std::size_t N>
  std::size_t operator()(const StoredPath<N>& path) const { return (*this)(path.view()); }
  std::size_t operator()(PathView path) const {
    std::size_t seed = path.size();
    for (const auto& identity : path) seed ^= identity.hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
  }
};

bool isPosition(const AnyView::Identity& identity) { return identity.type == typeid(Position); }

// Where a mark stands: the key of the innermost state above it (a body's, whose result the mark is part of)
// and the few positions that lead from that key down to the mark, with no allocation of its own. A list's
// first build makes several marks per row, and a path of its own for each was, with the blocks the heap
// must find for it and take back later, much of what a row cost. A place that is not so (an id below the
// state, or deep below it) keeps its whole path. A key stays where it is while its state lives, and a state
// lives until the build after the last one whose marks name it has read them (see Core::rebuild).
class MarkPath {
 public:
  // None: what a mark moved elsewhere leaves behind.
  MarkPath() = default;
  // `base`: the key of the state above `path`, whose identities begin it; null: the root.
  static bool fitsBelow(const StateKey* base, PathView path) {
    const std::size_t from = base ? base->view().size() : 0;
    auto short_ = [](const AnyView::Identity& identity) {
      return isPosition(identity) && identity.hash <= std::numeric_limits<std::uint32_t>::max();
    };
    return from <= std::numeric_limits<std::uint16_t>::max() && path.size() - from <= kBelow &&
           std::all_of(path.begin() + std::ptrdiff_t(from), path.end(), short_);
  }
  // REQUIRES: fitsBelow(base, path).
  MarkPath(const StateKey* base, PathView path) : base_(base), held_(true) {
    baseSize_ = base ? std::uint16_t(base->view().size()) : 0;
    for (std::size_t i = baseSize_; i < path.size(); ++i) below_[belowSize_++] = std::uint32_t(path[i].hash);
  }
  static MarkPath whole(PathView path) {
    MarkPath made;
    made.whole_ = std::make_shared<const Path>(path.begin(), path.end());
    made.held_ = true;
    return made;
  }
  MarkPath(const MarkPath&) = default;
  MarkPath& operator=(const MarkPath&) = default;
  MarkPath(MarkPath&& other) noexcept { *this = std::move(other); }
  MarkPath& operator=(MarkPath&& other) noexcept {
    base_ = other.base_;
    whole_ = std::move(other.whole_);
    below_ = other.below_;
    baseSize_ = other.baseSize_;
    belowSize_ = other.belowSize_;
    held_ = std::exchange(other.held_, false);
    return *this;
  }

  bool held() const { return held_; }
  bool isWhole() const { return whole_ != nullptr; }
  std::size_t size() const { return whole_ ? whole_->size() : baseSize_ + belowSize_; }

  bool operator==(PathView path) const {
    if (whole_) return equalPaths(*whole_, path);
    if (path.size() != size()) return false;
    if (base_ && !equalPaths(base_->view(), path.first(baseSize_))) return false;
    for (std::size_t i = 0; i < belowSize_; ++i) {
      const auto& identity = path[baseSize_ + i];
      if (!isPosition(identity) || identity.hash != below_[i]) return false;
    }
    return true;
  }
  bool operator==(const MarkPath& other) const {
    // Below one state, as most marks compared are: the key is not looked at.
    if (!whole_ && !other.whole_ && base_ == other.base_) {
      return belowSize_ == other.belowSize_ && std::equal(below_.begin(), below_.begin() + belowSize_, other.below_.begin());
    }
    if (size() != other.size()) return false;
    AnyView::Identity scratch, otherScratch;
    for (std::size_t i = 0; i < size(); ++i) {
      if (!sameIdentity(at(i, scratch), other.at(i, otherScratch))) return false;
    }
    return true;
  }
  // As PathHash of the whole path.
  std::size_t hash() const {
    std::size_t seed = size();
    auto add = [&seed](std::size_t hash) { seed ^= hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    if (whole_) {
      for (const auto& identity : *whole_) add(identity.hash);
      return seed;
    }
    if (base_) {
      for (const auto& identity : base_->view()) add(identity.hash);
    }
    for (std::size_t i = 0; i < belowSize_; ++i) add(below_[i]);
    return seed;
  }

 private:
  static constexpr std::size_t kBelow = 3;
  static bool equalPaths(PathView a, PathView b) { return std::equal(a.begin(), a.end(), b.begin(), b.end(), sameIdentity); }
  // The identity at `i`, made in `scratch` when it is a position kept as its number.
  const AnyView::Identity& at(std::size_t i, AnyView::Identity& scratch) const {
    if (whole_) return (*whole_)[i];
    if (i < baseSize_) return base_->view()[i];
    scratch = positionIdentity(below_[i - baseSize_]);
    return scratch;
  }

  const StateKey* base_ = nullptr;
  std::shared_ptr<const Path> whole_;
  std::array<std::uint32_t, kBelow> below_{};
  std::uint16_t baseSize_ = 0;  // sized so that a mark is one cache line
  std::uint8_t belowSize_ = 0;
  bool held_ = false;
};

// Rebuilds asked for by notices run at most once per display frame, and leave the main queue at least as long
// again as the last one took, so a host whose rebuilds are slow does not starve everything else.
constexpr std::chrono::steady_clock::duration kFrameInterval =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / 60));

// A list whose first element is kept in place: an object is mostly read by one body of one host, and a list
// of one that allocates is one more allocation per row of a long list's first build.
template <class T>
class FirstInPlace {
 public:
  std::size_t size() const { return (hasFirst_ ? 1 : 0) + more_.size(); }
  void push_back(T value) {
    if (hasFirst_) {
      more_.push_back(std::move(value));
    } else {
      first_ = std::move(value);
      hasFirst_ = true;
    }
  }
  // Visits the elements in order until `visit` answers true; answers whether it did.
  template <class F>
  bool anyOf(F visit) const {
    if (hasFirst_ && visit(first_)) return true;
    for (std::size_t i = 0; i < more_.size(); ++i) {
      if (visit(more_[i])) return true;
    }
    return false;
  }
  template <class P>
  void eraseIf(P doomed) {
    std::erase_if(more_, doomed);
    if (!hasFirst_ || !doomed(first_)) return;
    if (more_.empty()) {
      first_ = T();
      hasFirst_ = false;
    } else {
      first_ = std::move(more_.front());
      more_.erase(more_.begin());
    }
  }

 private:
  T first_{};
  bool hasFirst_ = false;
  std::vector<T> more_;
};

// Slots for the nodes of a hash table of `Value`s, carved from blocks that grow with the table: a long list's
// first build makes a state per row, and a block of the heap for each was the largest a row took, found one
// by one among whatever the heap had free then and handed back one by one when the list went. A slot freed by
// an entry that left is taken by the next one made; the blocks go with the table. Anything else the table
// asks for (its buckets) comes from the heap.
class NodePool {
 public:
  void* take(std::size_t size) {
    if (void* slot = free_) {
      free_ = *static_cast<void**>(slot);
      return slot;
    }
    if (next_ == end_) {
      const std::size_t slots = std::min<std::size_t>(kMostSlots, std::size_t(16) << blocks_.size());
      blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(slots * size));
      next_ = blocks_.back().get();
      end_ = next_ + slots * size;
    }
    return std::exchange(next_, next_ + size);
  }
  void give(void* slot) {
    *static_cast<void**>(slot) = free_;
    free_ = slot;
  }

 private:
  // Blocks small enough to come from the heap's own free memory rather than each be mapped afresh.
  static constexpr std::size_t kMostSlots = 256;
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;
  std::byte* end_ = nullptr;
  void* free_ = nullptr;
};

template <class T, class Value>
class NodePoolAllocator {
 public:
  using value_type = T;
  NodePoolAllocator() : pool_(std::make_shared<NodePool>()) {}
  template <class U>
  NodePoolAllocator(const NodePoolAllocator<U, Value>& other) : pool_(other.pool_) {}

  T* allocate(std::size_t n) {
    if constexpr (isNode) {
      if (n == 1) return static_cast<T*>(pool_->take(sizeof(T)));
    }
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    if constexpr (isNode) {
      if (n == 1) return pool_->give(p);
    }
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const NodePoolAllocator<U, Value>& other) const {
    return pool_ == other.pool_;
  }

 private:
  template <class, class>
  friend class NodePoolAllocator;
  // Only a node holds a whole value; the buckets are pointers.
  static constexpr bool isNode = sizeof(T) >= sizeof(Value);
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  std::shared_ptr<NodePool> pool_;
};

}  // namespace

struct ObservableObject::Subscribers {
  FirstInPlace<std::weak_ptr<DeclarativeHost::Core>> hosts;
  // The change flags of the bodies that read this object, so that a rebuild driven by notices alone builds
  // again only what read something that changed.
  FirstInPlace<std::weak_ptr<bool>> readers;
  std::size_t pruneReadersAt = 16;  // readers of bodies gone are dropped when the list grows past this
  void notify(const std::optional<Animation>& animation);
};

struct DeclarativeHost::Core : std::enable_shared_from_this<Core> {
  // What a body's built result is made of, node by node in depth-first order, kept in its state. A rebuild that
  // evaluates the body again tells from this alone whether the new result builds into the last one, without a
  // walk over the nodes the last one holds: those were made when the row last changed, wherever the heap had
  // room then, and a long list's walk over them is a cache miss per node. A result holding what cannot be told
  // so (a body, a bridged view, an action, more than fits) has no shape and is walked as before. Packed in
  // bytes: an image row's shape is one cache line.
  class Shape {
   public:
    // Records `built`; answers whether it could.
    bool record(const AnyView& built) {
      size_ = 0;
      valid_ = add(built);
      return valid_;
    }
    // Whether building `result` in the place of the recorded tree gives that tree back, node for node, as the
    // walk would: every node of the same kind, payload and number of children as the one in its place. A node
    // held elsewhere too may be one of the recorded tree's own, for which the walk answers with the result's
    // nodes instead: such a result is left to the walk. The recorded tree holds each of its nodes, so a node
    // that only the result holds is none of them.
    bool matches(const AnyView& result) const {
      if (!valid_) return false;
      std::size_t at = 0;
      return same(result, at) && at == size_;
    }

   private:
    static constexpr std::size_t kCapacity = 54;

    template <class T>
    bool put(const T& value) {
      if (size_ + sizeof(T) > kCapacity) return false;
      std::memcpy(bytes_.data() + size_, &value, sizeof(T));
      size_ = std::uint8_t(size_ + sizeof(T));
      return true;
    }
    template <class T>
    T take(std::size_t& at) const {
      std::array<unsigned char, sizeof(T)> raw;
      std::memcpy(raw.data(), bytes_.data() + at, sizeof(T));
      at += sizeof(T);
      return std::bit_cast<T>(raw);
    }

    bool add(const AnyView& view) {
      const auto& node = view.node_;
      if (!node || !put(node->kind)) return false;
      const std::size_t children = node->children.size();
      switch (node->kind) {
        case AnyView::Kind::stack:
          // A stack of no children comes out as given, not as the one before.
          if (children == 0 || children > 255 || !put(std::uint8_t(children))) return false;
          break;
        case AnyView::Kind::clear:
          if (children != 0) return false;
          break;
        case AnyView::Kind::image: {
          const auto& picture = *node->as<AnyView::Node::Picture>();
          // Names are compared through the recorded node, which the recorded tree keeps.
          const std::vector<std::string>* modifiers = picture.modifiers.empty() ? nullptr : &picture.modifiers;
          if (children != 0 || !put(static_cast<const void*>(picture.image.get())) || !put(modifiers)) return false;
          break;
        }
        case AnyView::Kind::opacity:
          if (children != 1 || !put(*node->as<double>())) return false;
          break;
        case AnyView::Kind::frame: {
          const auto& sides = *node->as<AnyView::Node::Sides>();
          const std::uint8_t given = std::uint8_t((sides.width ? 1 : 0) | (sides.height ? 2 : 0));
          if (children != 1 || !put(given) || (sides.width && !put(*sides.width)) || (sides.height && !put(*sides.height))) {
            return false;
          }
          break;
        }
        case AnyView::Kind::transition:
          if (children != 1 || !put(node->as<AnyTransition>())) return false;
          break;
        case AnyView::Kind::identity: {
          const auto& identity = *node->as<AnyView::Identity>();
          if (children != 1 || !put(identity.type) || !put(identity.hash) ||
              !put(static_cast<const void*>(identity.value.get())) || !put(identity.equals)) {
            return false;
          }
          break;
        }
        case AnyView::Kind::onAppear:
        case AnyView::Kind::onDisappear:
          // An action is never equal to another.
          if (children != 1 || *node->as<std::function<void()>>()) return false;
          break;
        default:
          return false;
      }
      return std::all_of(node->children.begin(), node->children.end(), [this](const AnyView& child) { return add(child); });
    }

    bool same(const AnyView& view, std::size_t& at) const {
      const auto& node = view.node_;
      if (!node || node.use_count() != 1 || at >= size_ || take<AnyView::Kind>(at) != node->kind) return false;
      const std::size_t children = node->children.size();
      switch (node->kind) {
        case AnyView::Kind::stack:
          if (take<std::uint8_t>(at) != children) return false;
          break;
        case AnyView::Kind::clear:
          if (children != 0) return false;
          break;
        case AnyView::Kind::image: {
          const auto& picture = *node->as<AnyView::Node::Picture>();
          const auto* image = take<const void*>(at);
          const auto* modifiers = take<const std::vector<std::string>*>(at);
          if (children != 0 || image != picture.image.get() ||
              (modifiers ? *modifiers != picture.modifiers : !picture.modifiers.empty())) {
            return false;
          }
          break;
        }
        case AnyView::Kind::opacity:
          if (children != 1 || !(take<double>(at) == *node->as<double>())) return false;
          break;
        case AnyView::Kind::frame: {
          const auto& sides = *node->as<AnyView::Node::Sides>();
          const auto given = take<std::uint8_t>(at);
          if (children != 1 || bool(given & 1) != sides.width.has_value() || bool(given & 2) != sides.height.has_value()) {
            return false;
          }
          if (sides.width && !(take<double>(at) == *sides.width)) return false;
          if (sides.height && !(take<double>(at) == *sides.height)) return false;
          break;
        }
        case AnyView::Kind::transition:
          if (children != 1 || !(*take<const AnyTransition*>(at) == *node->as<AnyTransition>())) return false;
          break;
        case AnyView::Kind::identity: {
          // As sameIdentity, the recorded one first.
          const auto& identity = *node->as<AnyView::Identity>();
          const auto type = take<std::type_index>(at);
          const auto hash = take<std::size_t>(at);
          const auto* value = take<const void*>(at);
          const auto equals = take<bool (*)(const void*, const void*)>(at);
          if (children != 1 || type != identity.type || hash != identity.hash ||
              (value != identity.value.get() && !equals(value, identity.value.get()))) {
            return false;
          }
          break;
        }
        case AnyView::Kind::onAppear:
        case AnyView::Kind::onDisappear:
          if (children != 1 || *node->as<std::function<void()>>()) return false;
          break;
        default:
          return false;
      }
      return std::all_of(node->children.begin(), node->children.end(),
                         [this, &at](const AnyView& child) { return same(child, at); });
    }

    std::array<unsigned char, kCapacity> bytes_{};
    std::uint8_t size_ = 0;
    bool valid_ = false;
  };

  struct State {
    // The state objects, by slot: the first in place, as most bodies keep one and every build reads it.
    std::pair<std::type_index, BuildContext::Slot> firstSlot{typeid(void), BuildContext::Slot{}};
    std::size_t visitedIn = 0;  // the build that last reached this identity
    // Set by a notice from an object the body here read; cleared as the body is evaluated.
    std::shared_ptr<bool> changed = std::make_shared<bool>(false);
    // The subscribers of the objects the body here read: the first in place, as for the slots.
    std::weak_ptr<const void> firstReading;
    // What few places have: more state objects or read objects than one, a bridged view. Out of line, so
    // that a long list's states, one per row, take fewer bytes of the heap to make and to read again.
    struct Rare {
      std::vector<std::pair<std::type_index, BuildContext::Slot>> moreSlots;
      std::vector<std::weak_ptr<const void>> moreReading;
      std::shared_ptr<View> bridgedView;
      std::type_index bridgeType = typeid(void);  // the kind of bridge that made bridgedView
    };
    std::unique_ptr<Rare> rare;
    Rare& rareParts() {
      if (!rare) rare = std::make_unique<Rare>();
      return *rare;
    }
    const StateKey* key = nullptr;  // this state's own, in `states`, just before it
    std::size_t reachedAt = 0;   // where this state stands in `reached` of the build that last reached it
    // What the body here built last, for a rebuild driven by notices alone: the same body value, laid out in
    // the same place, with nothing it or the bodies below it read changed since, builds the same again.
    struct Built {
      std::shared_ptr<const AnyView::Node> body;
      AnyView result;
      Rect bounds;
      std::size_t marksBegin = 0, marksEnd = 0;  // its marks, among those of the last build
      std::vector<State*> below;                 // the states its building reached, in order
      std::size_t builtIn = 0;                   // the build the marks' places are of
      Shape shape;                               // of `result`, when it has one and `below` is empty
    };
    std::optional<Built> built;
  };
  // An appear, disappear or transition node of a built tree, known by its kind and path.
  struct Mark {
    MarkPath path;
    AnyView node;
    // The node's kind, held beside the path: the marks are compared at every rebuild, and a long list's nodes
    // are out of the caches by then.
    AnyView::Kind kind;
  };
  static_assert(sizeof(Mark) <= 64, "a mark is one cache line");
  static_assert(sizeof(AnyView::Node) <= 72, "a node's kind lies in its payload's tail padding");
  struct MarkHash {
    std::size_t operator()(const Mark* mark) const {
      return mark->path.hash() * 31 + static_cast<std::size_t>(mark->kind);
    }
  };
  struct SameMark {
    bool operator()(const Mark* a, const Mark* b) const {
      // A mark moved out of the last build's list (see movedMarks) is settled already and matches nothing.
      return a->kind == b->kind && a->path.held() && b->path.held() && a->path == b->path;
    }
  };

  explicit Core(std::function<AnyView()> rootBody)
      : root(std::make_shared<const std::function<AnyView()>>(std::move(rootBody))),
        window(Window::make(1.0)),
        rootView(View::make(Rect{{0, 0}, {320, 480}})) {
    window->setContentView(rootView);
  }

  void noticeSent(std::optional<Animation> animation);
  void schedule();
  void scheduledRebuild();
  // `noticesOnly`: nothing but notices asked for it, so bodies that read nothing that changed are kept.
  void rebuild(bool noticesOnly = false);
  // What the body at `state` built last, when it may stand for building it again (see State::Built).
  bool keeps(const State& state, const AnyView::Node& body, Rect bounds) const;
  // Takes what the body at `state` built last into the build under way, with its marks and states.
  AnyView keep(State& state);
  // Matches the marks a body built again left in [beforeBegin, beforeEnd) of the last build against those it
  // made from `nowBegin` on. Every mark below a place is made while that place is built, so the two ranges
  // hold every mark below it, before and now: what finds no partner there left or came, without the hash
  // sets of the whole tree. A place reached twice in one build breaks that; the diff then decides again.
  void settleMarks(std::size_t beforeBegin, std::size_t beforeEnd, std::size_t nowBegin);
  // `path`: the node's identities from the root, which building pushes onto and pops off again (one vector
  // for the whole build). `bounds`: the place the parent lays out for the node, in the root view's
  // coordinates. `previous`: what stood in the node's place in the tree built before, if anything. A part of
  // the tree that building changes nothing in (no body, no bridged view below it) is taken as it is, not
  // copied; a node that comes out equal to the one before it in its place is that node, so a rebuild that
  // changes little makes and lets go of little, however long the list.
  AnyView build(const AnyView& node, Path& path, Rect bounds, const AnyView* previous);
  // `path` grown by `identity` for the building of `node`, and back again after.
  AnyView buildBelow(const AnyView& node, Path& path, const AnyView::Identity& identity, Rect bounds,
                     const AnyView* previous) {
    path.push_back(identity);
    AnyView built = build(node, path, bounds, previous);
    path.pop_back();
    return built;
  }
  // The actions and log lines of the marks that left and came; every mark in the same place as before is
  // matched in one pass, the rest through hash sets.
  // The actions come as the nodes holding them, which keep them alive while they run, without a copy each.
  std::vector<AnyView> diffMarks(const std::optional<Animation>& animation);
  // `view` over its built child: `view` itself when the child came out as it went in, `previous` when that
  // is a node like `view` over the same child.
  static AnyView withBuiltChild(const AnyView& view, AnyView child, const AnyView* previous);
  // Whether two nodes of one kind carry the same: an action or a body is the same only when both are none,
  // as two functions cannot be compared, and a bridged node never is (its view is updated at each build).
  static bool samePayload(const AnyView::Node& a, const AnyView::Node& b);
  // The one child of what stood in the place of `view` before, when that was a node of the same kind.
  static const AnyView* previousChild(const AnyView& view, const AnyView* previous) {
    if (!previous || previous->node_->kind != view.node_->kind || previous->node_->children.size() != 1) return nullptr;
    return &previous->node_->children[0];
  }
  // A node like `node` over `children`.
  static std::shared_ptr<AnyView::Node> withChildren(const AnyView::Node& node, std::vector<AnyView> children);
  State& stateFor(const Path& path);
  // The path of a mark of `kind` at `path`, below `markBase`. One kept whole is, when it is the same, that of
  // the mark the last build had next in its place, so that a tree that kept its shape makes no path again.
  MarkPath markPath(AnyView::Kind kind, const Path& path) {
    if (MarkPath::fitsBelow(markBase, path)) return MarkPath(markBase, path);
    if (marksCursor < marks.size()) {
      const Mark& before = marks[marksCursor];
      if (before.kind == kind && before.path.isWhole() && before.path == PathView(path)) {
        ++marksCursor;
        return before.path;
      }
    }
    // The marks of one node's modifiers stand in one place.
    if (!buildingMarks.empty() && buildingMarks.back().path.isWhole() && buildingMarks.back().path == PathView(path)) {
      return buildingMarks.back().path;
    }
    return MarkPath::whole(path);
  }
  // Room for `siblings` more children like the first of a long stack, which made `marksMade` marks and
  // `statesMade` states. A list's first build has no counts from a build before, and growing by doubling
  // copies (for the state table, links again) all that the list has made so far, time after time, into ever
  // larger blocks. Never less than doubling, so that the stacks of every row asking in turn stay linear.
  void reserveLike(std::size_t marksMade, std::size_t statesMade, std::size_t siblings) {
    const std::size_t marksWanted = buildingMarks.size() + marksMade * siblings;
    if (marksMade != 0 && marksWanted > buildingMarks.capacity()) {
      buildingMarks.reserve(std::max(marksWanted, buildingMarks.capacity() * 2));
    }
    if (statesMade == 0) return;
    const std::size_t statesWanted = states.size() + statesMade * siblings;
    if (double(statesWanted) > double(states.bucket_count()) * double(states.max_load_factor())) {
      states.reserve(std::max(statesWanted, states.size() * 2));
    }
    const std::size_t reachedWanted = reached.size() + statesMade * siblings;
    if (reachedWanted > reached.capacity()) reached.reserve(std::max(reachedWanted, reached.capacity() * 2));
  }
  // A row of a long stack that holds one body and nothing else a build changes (no mark outside the body, no
  // bridged view, no other state), as the last build that ran to its end left it: the row's value, its body's value and place,
  // and what each built. The same row value again, in the same place of the same stack, needs only its body
  // evaluated: when that stands for what it built last time, the row is what it was, and neither the row's
  // own nodes nor those built for it are read. A long list's rows lie far apart in memory, and those reads
  // were much of what a row cost once the list had outgrown the caches. The memos of a stack lie together,
  // in the order of its rows.
  struct RowMemo {
    std::shared_ptr<const AnyView::Node> row;  // the row as given; none: nothing known
    AnyView body;                              // the body below it
    const AnyView::Node* rowBuilt = nullptr;   // what the row built, in the last tree
    const AnyView::Node* bodyBuilt = nullptr;  // what the body built
    State* state = nullptr;                    // the body's
    Rect bodyBounds;
  };
  struct StackMemo {
    Rect bounds;             // the stack's, which each row is laid out to
    std::size_t depth = 0;   // the length of the stack's path
    std::vector<RowMemo> rows;
  };
  static constexpr std::size_t kLongStack = 8;
  // The memos of the stack that stood where one is built now, when its place and bounds are the same; empty
  // ones otherwise. Taken out of the last build's memos, without a copy. None where no stack stood: a list's
  // first build makes every row anew, and has no time to spare for memos that only a later build reads.
  std::optional<StackMemo> takeStackMemo(const AnyView::Node* before, Rect bounds, std::size_t depth,
                                         std::size_t count) {
    if (!before) return std::nullopt;
    StackMemo memo;
    if (auto found = stackMemos.find(before); found != stackMemos.end()) {
      memo = std::move(found->second);
      stackMemos.erase(found);
      if (!(memo.bounds == bounds) || memo.depth != depth) memo.rows.clear();
    }
    memo.bounds = bounds;
    memo.depth = depth;
    memo.rows.resize(count);
    return memo;
  }
  // Files the memos under the node the stack built, for the next build.
  void keepStackMemo(const AnyView& built, StackMemo memo) {
    auto [it, fresh] = nextStackMemos.try_emplace(built.node_.get(), std::move(memo));
    // One node built in two places tells neither apart: both are built the ordinary way next time.
    if (!fresh) it->second.rows.clear();
  }
  // Whether the body's key still begins with `path`, the stack's: the row's place is the same.
  static bool rowPathHolds(const RowMemo& row, const Path& path) {
    const PathView key = row.state->key->view();
    return key.size() > path.size() && SamePath{}(key.first(path.size()), PathView(path));
  }
  // Evaluates the body of a row known from its memo, at its place, as the ordinary walk down the row would.
  AnyView buildRowBody(const RowMemo& row, Path& path) {
    const std::size_t depth = path.size();
    const PathView key = row.state->key->view();
    path.insert(path.end(), key.begin() + std::ptrdiff_t(depth), key.end());
    AnyView result = build(row.body, path, row.bodyBounds, nullptr);
    path.erase(path.begin() + std::ptrdiff_t(depth), path.end());
    return result;
  }
  // Notes what building `given` into `built` came to, when the row is one a memo can stand for.
  void recordRow(RowMemo& row, const AnyView& given, const AnyView& built, std::size_t depth, std::size_t reachedBefore,
                 std::size_t marksBefore, std::size_t bridgesBefore) {
    State* state = reached.size() == reachedBefore + 1 ? reached.back() : nullptr;
    const bool known = state && given.node_ && built.node_ && bridgesBuilt == bridgesBefore && state->built &&
                       state->built->builtIn == buildCount && state->built->marksBegin == marksBefore &&
                       state->built->marksEnd == buildingMarks.size() && state->key->view().size() > depth;
    if (!known) {
      row = RowMemo{};
      return;
    }
    // Assigned only when they changed: a count is one more place in memory to write.
    if (row.row != given.node_) row.row = given.node_;
    if (row.body.node_ != state->built->body) row.body.node_ = state->built->body;
    row.rowBuilt = built.node_.get();
    row.bodyBuilt = state->built->result.node_.get();
    row.state = state;
    row.bodyBounds = state->built->bounds;
  }

  void append(LogEntry entry) {
    log.push_back(std::move(entry));
    if (log.size() > kLogLimit) log.pop_front();
  }

  // Shared, so that a build runs a root of its own holding: the root body may set a new root while it runs.
  std::shared_ptr<const std::function<AnyView()>> root;
  AnyView tree;
  using StateEntry = std::pair<const StateKey, State>;
  std::unordered_map<StateKey, State, PathHash, SamePath, NodePoolAllocator<StateEntry, StateEntry>> states;
  std::vector<Mark> marks;  // of the last tree
  std::vector<Mark> buildingMarks;
  // Marks moved from the last build's list into this one's by bodies whose result came out as before: the
  // range they left in `marks` and where they now start. Put back when the last build's marks are read whole
  // again (a place built twice, a build that did not finish).
  struct MovedMarks {
    std::size_t beforeBegin, beforeEnd, nowBegin;
  };
  std::vector<MovedMarks> movedMarks;
  void putBackMovedMarks() {
    for (const auto& moved : movedMarks) {
      std::copy(buildingMarks.begin() + std::ptrdiff_t(moved.nowBegin),
                buildingMarks.begin() + std::ptrdiff_t(moved.nowBegin + moved.beforeEnd - moved.beforeBegin),
                marks.begin() + std::ptrdiff_t(moved.beforeBegin));
    }
    movedMarks.clear();
  }
  std::size_t marksCursor = 0;  // the mark of the last build that the next mark made is likely to be
  const StateKey* markBase = nullptr;  // the key of the innermost state above the node being built
  std::size_t statesVisited = 0;  // distinct states the build under way has reached
  std::vector<State*> reached;    // those states, in the order reached
  // The states the last build that ran to its end reached, in order, and the one the next look is likely for.
  std::vector<State*> lastReached;
  std::size_t reachCursor = 0;
  bool keeping = false;           // the build under way may keep what bodies built before
  // The last build that ran to its end. A body that throws ends a build half way, with places of marks
  // taken down that its marks never reached: the build after it keeps nothing.
  std::size_t lastFinishedBuild = 0;
  // What is known of each mark of the last build and of the build under way: kUnsettled, kStays (kept with a
  // body), kMatched (has a partner below a body built again), kMoves (left or came: found none there).
  static constexpr char kUnsettled = 0, kStays = 1, kMoves = 2, kMatched = 3;
  std::vector<char> keptBefore, keptNow;
  bool reachedTwice = false;  // a place was built twice in the build under way
  std::size_t bridgesBuilt = 0;   // bridged nodes the build under way has reached
  // The row memos of the long stacks of the last build that ran to its end, by the node each stack built; and
  // those of the build under way.
  std::unordered_map<const AnyView::Node*, StackMemo> stackMemos, nextStackMemos;
  // A body built already for the row being built the ordinary way, and what it built.
  const AnyView::Node* preBuiltBody = nullptr;
  AnyView preBuilt;
  bool needsRebuild = false;  // notices came that no rebuild has taken in yet
  bool building = false;      // a rebuild is building the tree, up to its actions
  bool fullRebuildOwed = false;  // a rebuild asked for while building, which evaluates every body
  bool scheduled = false;     // a task that will take them is queued
  std::chrono::steady_clock::time_point nextRebuildDue{};
  std::optional<Animation> pendingAnimation;
  std::size_t buildCount = 0;
  std::deque<LogEntry> log;
  std::shared_ptr<Window> window;
  std::shared_ptr<View> rootView;
};

struct BuildContext::Scope {
  DeclarativeHost::Core::State& state;
  DeclarativeHost::Core& host;
};

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

ObservableObject::ObservableObject() : subscribers_(std::make_shared<Subscribers>()) {}

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
  // Flags first: the hosts told below may rebuild at once.
  readers.eraseIf([](const auto& weak) { return weak.expired(); });
  readers.anyOf([](const auto& weak) {
    if (auto changed = weak.lock()) *changed = true;
    return false;
  });
  hosts.eraseIf([](const auto& weak) { return weak.expired(); });
  hosts.anyOf([&animation](const auto& weak) {
    if (auto host = weak.lock()) host->noticeSent(animation);
    return false;
  });
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
  node->payload = Node::Picture{std::move(image), std::move(modifiers)};
  return AnyView(node);
}

AnyView AnyView::bridged(std::shared_ptr<const Bridge> bridge) {
  auto node = std::make_shared<Node>();
  node->kind = Kind::bridged;
  node->payload = Node::Bridged{std::move(bridge), nullptr};
  return AnyView(node);
}

AnyView AnyView::body(std::function<AnyView(BuildContext&)> body) {
  auto node = std::make_shared<Node>();
  node->kind = Kind::body;
  node->payload = std::move(body);
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
  return wrap(Kind::opacity, [value](Node& n) { n.payload = value; });
}

AnyView AnyView::frame(std::optional<double> width, std::optional<double> height) const {
  // By reference: two references fit inside the function object, two optionals would be allocated.
  return wrap(Kind::frame, [&width, &height](Node& n) { n.payload = Node::Sides{width, height}; });
}

AnyView AnyView::transition(AnyTransition transition) const {
  return wrap(Kind::transition, [&transition](Node& n) { n.payload = std::move(transition); });
}

AnyView AnyView::withIdentity(Identity identity) const {
  return wrap(Kind::identity, [&identity](Node& n) { n.payload = std::move(identity); });
}

AnyView AnyView::onAppear(std::function<void()> action) const {
  return wrap(Kind::onAppear, [&action](Node& n) { n.payload = std::move(action); });
}

AnyView AnyView::onDisappear(std::function<void()> action) const {
  return wrap(Kind::onDisappear, [&action](Node& n) { n.payload = std::move(action); });
}

AnyView::Kind AnyView::kind() const { return node_ ? node_->kind : Kind::empty; }
const std::vector<AnyView>& AnyView::children() const { return node_ ? node_->children : kNoChildren; }
// What a node of another kind answers: what a node of the asking kind would without anything set.
namespace {
const ImagePtr kNoImage;
const std::vector<std::string> kNoModifiers;
const AnyTransition kNoTransition;
const AnyView::Identity kNoIdentity;
const std::function<void()> kNoAction;
const std::shared_ptr<const Bridge> kNoBridge;
const std::function<AnyView(BuildContext&)> kNoBody;
const std::shared_ptr<View> kNoView;
}  // namespace

const ImagePtr& AnyView::imageValue() const {
  const auto* picture = node_->as<Node::Picture>();
  return picture ? picture->image : kNoImage;
}
const std::vector<std::string>& AnyView::imageModifiers() const {
  const auto* picture = node_->as<Node::Picture>();
  return picture ? picture->modifiers : kNoModifiers;
}
double AnyView::opacityValue() const {
  const auto* opacity = node_->as<double>();
  return opacity ? *opacity : 1.0;
}
std::optional<double> AnyView::width() const {
  const auto* sides = node_->as<Node::Sides>();
  return sides ? sides->width : std::nullopt;
}
std::optional<double> AnyView::height() const {
  const auto* sides = node_->as<Node::Sides>();
  return sides ? sides->height : std::nullopt;
}
const AnyTransition& AnyView::transitionValue() const {
  const auto* transition = node_->as<AnyTransition>();
  return transition ? *transition : kNoTransition;
}
const AnyView::Identity& AnyView::identity() const {
  const auto* identity = node_->as<Identity>();
  return identity ? *identity : kNoIdentity;
}
const std::function<void()>& AnyView::action() const {
  const auto* action = node_->as<std::function<void()>>();
  return action ? *action : kNoAction;
}
const std::shared_ptr<const Bridge>& AnyView::bridge() const {
  const auto* bridged = node_->as<Node::Bridged>();
  return bridged ? bridged->bridge : kNoBridge;
}
const std::function<AnyView(BuildContext&)>& AnyView::bodyFunction() const {
  const auto* body = node_->as<std::function<AnyView(BuildContext&)>>();
  return body ? *body : kNoBody;
}
const std::shared_ptr<View>& AnyView::bridgedView() const {
  const auto* bridged = node_->as<Node::Bridged>();
  return bridged ? bridged->view : kNoView;
}

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
  auto& subscribers = object.subscribers_;
  auto& state = scope_.state;
  auto& first = state.firstReading;
  // Owners compared, not addresses: an object made where a gone one was is another object.
  auto same = [&](const std::weak_ptr<const void>& weak) {
    return !weak.owner_before(subscribers) && !subscribers.owner_before(weak);
  };
  // An object this place read before has this host among its own already: hosts leave that list only once
  // they are gone, so a body that reads the same objects at each build costs no look at them.
  if (same(first)) return;
  if (state.rare) {
    auto& more = state.rare->moreReading;
    if (std::any_of(more.begin(), more.end(), same)) return;
    // A body may read a new object at each build: those gone are let go, so the list stays as long as what
    // the body reads.
    std::erase_if(more, [](const auto& weak) { return weak.expired(); });
    if (first.expired() && !more.empty()) {
      first = std::move(more.back());
      more.pop_back();
    }
  }
  if (first.expired()) {
    first = subscribers;
  } else {
    state.rareParts().moreReading.push_back(subscribers);
  }
  auto& readers = subscribers->readers;
  if (readers.size() >= subscribers->pruneReadersAt) {
    readers.eraseIf([](const auto& weak) { return weak.expired(); });
    subscribers->pruneReadersAt = std::max<std::size_t>(16, readers.size() * 2);
  }
  readers.push_back(scope_.state.changed);
  auto& hosts = subscribers->hosts;
  if (hosts.anyOf([this](const auto& weak) { return weak.lock().get() == &scope_.host; })) return;
  hosts.push_back(scope_.host.weak_from_this());
}

BuildContext::Slot& BuildContext::slotFor(std::type_index type) {
  const std::size_t slot = nextSlot_++;
  auto& held = [&]() -> std::pair<std::type_index, Slot>& {
    if (slot == 0) return scope_.state.firstSlot;
    auto& more = scope_.state.rareParts().moreSlots;
    if (slot > more.size()) more.emplace_back(type, Slot{});
    return more[slot - 1];
  }();
  // State of another type is another view's, one that stood in this place before: this one starts afresh.
  if (held.first != type) held = {type, Slot{}};
  return held.second;
}

std::string DeclarativeHost::LogEntry::description() const {
  return animation ? what + " in " + animation->description() : what;
}

std::shared_ptr<DeclarativeHost> DeclarativeHost::make(std::function<AnyView()> root) {
  return std::make_shared<DeclarativeHost>(std::move(root));
}

DeclarativeHost::DeclarativeHost(std::function<AnyView()> root) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  core_ = std::make_shared<Core>(std::move(root));
}

DeclarativeHost::~DeclarativeHost() {
  // The views it made belong to the main queue: a host released elsewhere lets them go there.
  if (core_ && !foundation::MainQueue::isCurrent()) foundation::MainQueue::post([core = std::move(core_)] {});
}

void DeclarativeHost::setRoot(std::function<AnyView()> root) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  core_->root = std::make_shared<const std::function<AnyView()>>(std::move(root));
  core_->rebuild();
}

void DeclarativeHost::rebuild() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  core_->rebuild();
}

bool DeclarativeHost::rebuildIfNeeded() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!core_->needsRebuild || core_->building) return false;
  core_->rebuild(true);
  return true;
}

const AnyView& DeclarativeHost::tree() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  return core_->tree;
}

std::size_t DeclarativeHost::buildCount() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  return core_->buildCount;
}

const std::deque<DeclarativeHost::LogEntry>& DeclarativeHost::log() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  return core_->log;
}

std::vector<std::string> DeclarativeHost::logLines() const {
  std::vector<std::string> lines;
  for (const auto& entry : log()) lines.push_back(entry.description());
  return lines;
}

const std::shared_ptr<View>& DeclarativeHost::rootView() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  return core_->rootView;
}

std::size_t DeclarativeHost::stateCount() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  return core_->states.size();
}

void DeclarativeHost::Core::noticeSent(std::optional<Animation> animation) {
  append({"change", animation});
  if (animation) pendingAnimation = animation;
  needsRebuild = true;
  schedule();
}

void DeclarativeHost::Core::schedule() {
  if (scheduled) return;
  scheduled = true;
  auto task = [weak = weak_from_this()] {
    if (auto core = weak.lock()) core->scheduledRebuild();
  };
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextRebuildDue) {
    // Behind what is queued already: every notice of one burst lands before this rebuild runs.
    foundation::MainQueue::post(std::move(task));
  } else {
    foundation::MainQueue::postAfter(nextRebuildDue - now, std::move(task));
  }
}

void DeclarativeHost::Core::scheduledRebuild() {
  scheduled = false;
  if (!needsRebuild) return;  // a rebuild asked for directly took the notices in meanwhile
  if (std::chrono::steady_clock::now() < nextRebuildDue) {
    schedule();
    return;
  }
  rebuild(!std::exchange(fullRebuildOwed, false));
}

DeclarativeHost::Core::State& DeclarativeHost::Core::stateFor(const Path& path) {
  // The states are mostly reached in the order the last build reached them: the next of those is tried
  // first, which keeps a long list's rebuild from a look into the table at each row.
  State* found = nullptr;
  if (reachCursor < lastReached.size() && SamePath{}(*lastReached[reachCursor]->key, path)) {
    found = lastReached[reachCursor++];
    // What the states a few rows on hold is asked for now, in two steps (the state, then what it points
    // to), so that it has come from memory when those rows are built: a long list's states are far apart.
    if (reachCursor + 3 < lastReached.size()) {
      // The state and, before it in the table's entry, its key.
      const auto* far = reinterpret_cast<const char*>(lastReached[reachCursor + 3]) - sizeof(StateKey);
      for (std::size_t line = 0; line < sizeof(StateKey) + sizeof(State); line += 64) __builtin_prefetch(far + line);
    }
    if (reachCursor + 1 < lastReached.size()) {
      const State& near = *lastReached[reachCursor + 1];
      __builtin_prefetch(near.key->data());
      __builtin_prefetch(near.changed.get());
      if (near.built) __builtin_prefetch(near.built->result.node_.get());
    }
  } else {
    auto it = states.find(PathView(path));
    if (it == states.end()) {
      it = states.emplace(std::piecewise_construct, std::forward_as_tuple(PathView(path)), std::forward_as_tuple()).first;
      found = &it->second;
      found->key = &it->first;
    } else {
      found = &it->second;
      if (found->visitedIn == lastFinishedBuild && found->reachedAt < lastReached.size() &&
          lastReached[found->reachedAt] == found) {
        reachCursor = found->reachedAt + 1;
      }
    }
  }
  State& state = *found;
  // Builds are counted from 1 as they start, so a new state has been reached by none.
  if (state.visitedIn != buildCount) {
    state.visitedIn = buildCount;
    ++statesVisited;
    state.reachedAt = reached.size();
    reached.push_back(&state);
  }
  return state;
}

AnyView DeclarativeHost::Core::build(const AnyView& view, Path& path, Rect bounds, const AnyView* previous) {
  const auto& node = view.node_;
  if (!node) return view;
  if (previous && !previous->node_) previous = nullptr;
  switch (node->kind) {
    case AnyView::Kind::body: {
      if (node.get() == preBuiltBody) {
        // Built already, by a row taken from its memo whose body built something new (see the stack).
        preBuiltBody = nullptr;
        return std::exchange(preBuilt, AnyView());
      }
      const std::size_t reachedBefore = statesVisited;
      State& state = stateFor(path);
      // A place reached twice in one build (two siblings of one id) is built each time.
      const bool firstReach = statesVisited != reachedBefore;
      if (firstReach && keeping && keeps(state, *node, bounds)) return keep(state);
      if (!firstReach) reachedTwice = true;
      const std::size_t marksBegin = buildingMarks.size();
      const std::size_t reachedBegin = reached.size();
      const std::size_t bridgesBefore = bridgesBuilt;
      // The marks this place had in the last build, when they are where it left them.
      const bool marksBefore = firstReach && state.built && state.built->builtIn == lastFinishedBuild &&
                               lastFinishedBuild + 1 == buildCount;
      const std::size_t beforeBegin = marksBefore ? state.built->marksBegin : 0;
      const std::size_t beforeEnd = marksBefore ? state.built->marksEnd : 0;
      *state.changed = false;
      BuildContext::Scope scope{state, *this};
      BuildContext context(scope);
      AnyView result = (*node->as<std::function<AnyView(BuildContext&)>>())(context);
      if (marksBefore && state.built->below.empty() && state.built->shape.matches(result)) {
        // The result builds into the last one: that one stands, with the marks it left, in the same places.
        // They are moved, not copied: a copy and the release of the last build's marks would each touch
        // every row's path and node again.
        buildingMarks.insert(buildingMarks.end(), std::make_move_iterator(marks.begin() + std::ptrdiff_t(beforeBegin)),
                             std::make_move_iterator(marks.begin() + std::ptrdiff_t(beforeEnd)));
        movedMarks.push_back({beforeBegin, beforeEnd, marksBegin});
        keptNow.resize(buildingMarks.size(), kUnsettled);
        std::fill(keptBefore.begin() + std::ptrdiff_t(beforeBegin), keptBefore.begin() + std::ptrdiff_t(beforeEnd),
                  kMatched);
        std::fill(keptNow.begin() + std::ptrdiff_t(marksBegin), keptNow.end(), kMatched);
        marksCursor = beforeEnd;
        State::Built& last = *state.built;
        last.body = node;
        last.bounds = bounds;
        last.marksBegin = marksBegin;
        last.marksEnd = buildingMarks.size();
        last.builtIn = buildCount;
        return last.result;
      }
      const StateKey* outerBase = std::exchange(markBase, state.key);
      AnyView built = buildBelow(result, path, positionIdentity(0), bounds, state.built ? &state.built->result : nullptr);
      markBase = outerBase;
      if (marksBefore) settleMarks(beforeBegin, beforeEnd, marksBegin);
      // A bridged view is updated at every rebuild, so what holds one is never kept.
      if (firstReach && bridgesBuilt == bridgesBefore) {
        state.built = State::Built{node,
                                   built,
                                   bounds,
                                   marksBegin,
                                   buildingMarks.size(),
                                   std::vector<State*>(reached.begin() + std::ptrdiff_t(reachedBegin), reached.end()),
                                   buildCount,
                                   {}};
        if (state.built->below.empty()) state.built->shape.record(built);
      } else {
        state.built.reset();
      }
      return built;
    }
    case AnyView::Kind::stack: {
      // The built children are gathered only from the first one that came out as neither the child that went
      // in nor the one that stood in its place before: a stack that comes out as it went in, or as it was,
      // costs no vector.
      const std::size_t count = node->children.size();
      const auto* before = previous && previous->node_->kind == AnyView::Kind::stack ? previous->node_.get() : nullptr;
      // What each row of a long stack came to last time, taken from the node it built then (see RowMemo).
      std::optional<StackMemo> memo;
      if (count > kLongStack) memo = takeStackMemo(before, bounds, path.size(), count);
      bool asGiven = true;
      bool asBefore = before && before->children.size() == count;
      bool gathering = false;
      std::vector<AnyView> children;
      for (std::size_t i = 0; i < count; ++i) {
        const AnyView& child = node->children[i];
        // A long stack's rows lie apart in memory: the nodes of the rows a few places on, given and built
        // before, are asked for a level at a time, each once the level above has had time to arrive.
        if (count > kLongStack) {
          // Level 0 is the row's node, 1 its children, 2 its first child's node.
          auto ask = [&](std::size_t at, int level) {
            if (at >= count) return;
            const AnyView* sides[2] = {&node->children[at], before && at < before->children.size() ? &before->children[at] : nullptr};
            for (const AnyView* side : sides) {
              if (!side || !side->node_) continue;
              const auto& above = *side->node_;
              if (level == 0) {
                __builtin_prefetch(&above);
              } else if (!above.children.empty()) {
                if (level == 1) {
                  __builtin_prefetch(above.children.data());
                } else if (const auto* below = above.children[0].node_.get()) {
                  __builtin_prefetch(below);
                }
              }
            }
          };
          ask(i + 6, 0);
          ask(i + 4, 1);
          ask(i + 2, 2);
        }
        const AnyView* stood = before && i < before->children.size() ? &before->children[i] : nullptr;
        const std::size_t marksBefore = buildingMarks.size(), statesBefore = states.size();
        const std::size_t reachedBefore = reached.size(), bridgesBefore = bridgesBuilt;
        RowMemo* row = memo ? &memo->rows[i] : nullptr;
        AnyView built;
        // The row is what stood in its place: `built` is left empty, and what stood is not read.
        bool asStood = false;
        if (row && row->row && row->row == child.node_ && stood && stood->node_.get() == row->rowBuilt &&
            rowPathHolds(*row, path)) {
          AnyView result = buildRowBody(*row, path);
          if (result.node_.get() == row->bodyBuilt) {
            asStood = true;
          } else {
            // The body built something else: the row is built the ordinary way around what it built.
            preBuiltBody = row->body.node_.get();
            preBuilt = std::move(result);
          }
        }
        if (!asStood) {
          // A child with an id of its own is known by it, wherever it stands.
          built = child.kind() == AnyView::Kind::identity ? build(child, path, bounds, stood)
                                                          : buildBelow(child, path, positionIdentity(i), bounds, stood);
          preBuiltBody = nullptr;
          preBuilt = AnyView();
          if (row) recordRow(*row, child, built, path.size(), reachedBefore, marksBefore, bridgesBefore);
        }
        if (i == 0 && count > kLongStack) {
          reserveLike(buildingMarks.size() - marksBefore, states.size() - statesBefore, count - 1);
        }
        if (!gathering) {
          const bool given = asGiven && (asStood ? stood->node_ == child.node_ : built.node_ == child.node_);
          const bool same = asBefore && (asStood || built.node_ == before->children[i].node_);
          if (given || same) {
            asGiven = given;
            asBefore = same;
            continue;
          }
          const auto& from = asGiven ? node->children : before->children;
          children.reserve(count);
          children.insert(children.end(), from.begin(), from.begin() + std::ptrdiff_t(i));
          gathering = true;
        }
        children.push_back(asStood ? *stood : std::move(built));
      }
      AnyView out = !gathering ? (asGiven ? view : *previous) : AnyView(withChildren(*node, std::move(children)));
      if (memo) keepStackMemo(out, std::move(*memo));
      return out;
    }
    case AnyView::Kind::identity: {
      const auto& identity = *node->as<AnyView::Identity>();
      const AnyView* stood = previous && previous->node_->kind == AnyView::Kind::identity &&
                                     !previous->node_->children.empty() && sameIdentity(previous->identity(), identity)
                                 ? &previous->node_->children[0]
                                 : nullptr;
      return withBuiltChild(view, buildBelow(node->children[0], path, identity, bounds, stood), previous);
    }
    case AnyView::Kind::bridged: {
      const auto& bridgeHeld = node->as<AnyView::Node::Bridged>()->bridge;
      if (!bridgeHeld) return view;
      State::Rare& state = stateFor(path).rareParts();
      ++bridgesBuilt;
      const Bridge& bridge = *bridgeHeld;
      if (state.bridgedView && state.bridgeType != typeid(bridge)) {
        // Another kind of bridge in this place is another view: the one made for the old kind goes.
        state.bridgedView->removeFromSuperview();
        state.bridgedView.reset();
      }
      // A bridge may be the application's: one that makes no view (or throws) leaves its place empty, and one
      // whose update throws keeps the view as it was; the rest of the tree builds all the same.
      if (!state.bridgedView) {
        guardedCall("A bridge's view", [&] { state.bridgedView = bridge.makeView(); });
        state.bridgeType = typeid(bridge);
        if (state.bridgedView) rootView->addSubview(state.bridgedView);
      }
      if (state.bridgedView) {
        // A bridged view takes the place its row lays out, as a view in a toolkit's layout would: without a
        // size it has nothing to show (an animated image decodes no frame for a view of no size).
        state.bridgedView->setFrame(bounds);
        guardedCall("A bridge's update", [&] { bridge.updateView(*state.bridgedView); });
      }
      auto built = withChildren(*node, node->children);
      std::get<AnyView::Node::Bridged>(built->payload).view = state.bridgedView;
      return AnyView(built);
    }
    case AnyView::Kind::onAppear:
    case AnyView::Kind::onDisappear:
    case AnyView::Kind::transition: {
      AnyView built = withBuiltChild(view, build(node->children[0], path, bounds, previousChild(view, previous)), previous);
      buildingMarks.push_back(Mark{markPath(node->kind, path), built, node->kind});
      return built;
    }
    case AnyView::Kind::opacity:
      return withBuiltChild(view, build(node->children[0], path, bounds, previousChild(view, previous)), previous);
    case AnyView::Kind::frame: {
      // The sides given are the child's; the others are the parent's. Centre alignment.
      const auto& sides = *node->as<AnyView::Node::Sides>();
      const Size size{sides.width.value_or(bounds.size.width), sides.height.value_or(bounds.size.height)};
      const Rect placed{{bounds.midX() - size.width / 2, bounds.midY() - size.height / 2}, size};
      return withBuiltChild(view, build(node->children[0], path, placed, previousChild(view, previous)), previous);
    }
    default:
      // A leaf made again equal to the one before it is that one, so that what holds it can be too.
      if (previous && node->children.empty() && previous->node_->children.empty() && samePayload(*node, *previous->node_)) {
        return *previous;
      }
      return view;
  }
}

bool DeclarativeHost::Core::keeps(const State& state, const AnyView::Node& body, Rect bounds) const {
  if (!state.built || state.built->builtIn != lastFinishedBuild || lastFinishedBuild + 1 != buildCount ||
      state.built->body.get() != &body || !(state.built->bounds == bounds) || *state.changed) {
    return false;
  }
  return std::none_of(state.built->below.begin(), state.built->below.end(),
                      [](const State* below) { return *below->changed; });
}

AnyView DeclarativeHost::Core::keep(State& state) {
  State::Built& built = *state.built;
  // The marks move to where they now stand among this build's, and so do those of every body below.
  const std::size_t begin = buildingMarks.size();
  buildingMarks.insert(buildingMarks.end(), marks.begin() + std::ptrdiff_t(built.marksBegin),
                       marks.begin() + std::ptrdiff_t(built.marksEnd));
  std::fill(keptBefore.begin() + std::ptrdiff_t(built.marksBegin), keptBefore.begin() + std::ptrdiff_t(built.marksEnd),
            kStays);
  keptNow.resize(buildingMarks.size(), kUnsettled);
  std::fill(keptNow.begin() + std::ptrdiff_t(begin), keptNow.end(), kStays);
  for (State* below : built.below) {
    if (below->visitedIn != buildCount) {
      below->visitedIn = buildCount;
      ++statesVisited;
      below->reachedAt = reached.size();
      reached.push_back(below);
    }
    if (below->built && below->built->builtIn == lastFinishedBuild) {
      below->built->marksBegin = below->built->marksBegin - built.marksBegin + begin;
      below->built->marksEnd = below->built->marksEnd - built.marksBegin + begin;
      below->built->builtIn = buildCount;
    } else {
      below->built.reset();
    }
  }
  marksCursor = built.marksEnd;
  built.marksEnd = built.marksEnd - built.marksBegin + begin;
  built.marksBegin = begin;
  built.builtIn = buildCount;
  return built.result;
}

void DeclarativeHost::Core::settleMarks(std::size_t beforeBegin, std::size_t beforeEnd, std::size_t nowBegin) {
  const std::size_t nowEnd = buildingMarks.size();
  keptNow.resize(nowEnd, kUnsettled);
  std::size_t i = beforeBegin, j = nowBegin;
  // Most often the same marks in the same order: one pass settles them.
  while (true) {
    while (i < beforeEnd && keptBefore[i] != kUnsettled) ++i;
    while (j < nowEnd && keptNow[j] != kUnsettled) ++j;
    if (i == beforeEnd || j == nowEnd || !SameMark{}(&marks[i], &buildingMarks[j])) break;
    keptBefore[i++] = kMatched;
    keptNow[j++] = kMatched;
  }
  // A mark stays when one of its kind and path is on the other side, as in the diff's sets. The rest is
  // searched pair by pair while that stays small; a body with many marks changed leaves it to the sets.
  std::size_t leftBefore = 0, leftNow = 0;
  for (std::size_t k = i; k < beforeEnd; ++k) leftBefore += keptBefore[k] == kUnsettled;
  for (std::size_t k = j; k < nowEnd; ++k) leftNow += keptNow[k] == kUnsettled;
  if (leftBefore * (nowEnd - nowBegin) + leftNow * (beforeEnd - beforeBegin) > 256) return;
  auto partnered = [](const std::vector<Mark>& side, std::size_t begin, std::size_t end, const Mark& mark) {
    for (std::size_t k = begin; k < end; ++k) {
      if (SameMark{}(&side[k], &mark)) return true;
    }
    return false;
  };
  for (std::size_t m = i; m < beforeEnd; ++m) {
    if (keptBefore[m] == kUnsettled) {
      keptBefore[m] = partnered(buildingMarks, nowBegin, nowEnd, marks[m]) ? kMatched : kMoves;
    }
  }
  for (std::size_t k = j; k < nowEnd; ++k) {
    if (keptNow[k] == kUnsettled) keptNow[k] = partnered(marks, beforeBegin, beforeEnd, buildingMarks[k]) ? kMatched : kMoves;
  }
}

bool DeclarativeHost::Core::samePayload(const AnyView::Node& a, const AnyView::Node& b) {
  if (a.kind != b.kind || a.payload.index() != b.payload.index()) return false;
  using Picture = AnyView::Node::Picture;
  using Sides = AnyView::Node::Sides;
  if (const auto* picture = a.as<Picture>()) {
    const auto& other = *b.as<Picture>();
    return picture->image == other.image && picture->modifiers == other.modifiers;
  }
  if (const auto* value = a.as<double>()) return *value == *b.as<double>();
  if (const auto* sides = a.as<Sides>()) return sides->width == b.as<Sides>()->width && sides->height == b.as<Sides>()->height;
  if (const auto* transition = a.as<AnyTransition>()) return *transition == *b.as<AnyTransition>();
  if (const auto* identity = a.as<AnyView::Identity>()) return sameIdentity(*identity, *b.as<AnyView::Identity>());
  if (const auto* action = a.as<std::function<void()>>()) return !*action && !*b.as<std::function<void()>>();
  return std::holds_alternative<std::monostate>(a.payload);
}

std::shared_ptr<AnyView::Node> DeclarativeHost::Core::withChildren(const AnyView::Node& node,
                                                                  std::vector<AnyView> children) {
  // Kind and payload rather than a copy of the node, which would copy its children only to replace them.
  auto built = std::make_shared<AnyView::Node>();
  built->kind = node.kind;
  built->children = std::move(children);
  built->payload = node.payload;
  return built;
}

AnyView DeclarativeHost::Core::withBuiltChild(const AnyView& view, AnyView child, const AnyView* previous) {
  if (child.node_ == view.node_->children[0].node_) return view;
  if (previous && previous->node_->children.size() == 1 && previous->node_->children[0].node_ == child.node_ &&
      samePayload(*view.node_, *previous->node_)) {
    return *previous;
  }
  std::vector<AnyView> children;
  children.reserve(1);
  children.push_back(std::move(child));
  return AnyView(withChildren(*view.node_, std::move(children)));
}

void DeclarativeHost::Core::rebuild(bool noticesOnly) {
  // Asked for by a body or a bridge while the tree is being built, a rebuild would take down what the build
  // under way stands on: it runs once that build has ended, as its own task.
  if (building) {
    if (!noticesOnly) fullRebuildOwed = true;
    needsRebuild = true;
    return schedule();
  }
  const auto started = std::chrono::steady_clock::now();
  // A host may be released by an action or a body below: it stays until this rebuild has returned.
  auto keepAlive = shared_from_this();
  struct Building {
    bool& flag;
    explicit Building(bool& building) : flag(building) { flag = true; }
    ~Building() { flag = false; }
  };
  std::optional<Building> buildingNow(std::in_place, building);
  needsRebuild = false;
  const auto animation = std::exchange(pendingAnimation, std::nullopt);
  ++buildCount;
  // Memos are of the last build's tree, and only of one that ran to its end.
  nextStackMemos.clear();
  if (lastFinishedBuild + 1 != buildCount) stackMemos.clear();
  preBuiltBody = nullptr;
  preBuilt = AnyView();
  statesVisited = 0;
  reached.clear();
  reachCursor = 0;
  keeping = noticesOnly;
  bridgesBuilt = 0;
  keptBefore.assign(marks.size(), kUnsettled);
  keptNow.clear();
  reachedTwice = false;
  buildingMarks.clear();
  buildingMarks.reserve(marks.size());
  movedMarks.clear();
  marksCursor = 0;
  markBase = nullptr;
  Path path;
  // Held here: a root body that sets a new root replaces the host's, not the function running.
  const auto body = root;
  {
    // A build a body ends half way leaves the last build's marks whole for the next one.
    struct PutBack {
      Core* core;
      ~PutBack() {
        if (core) core->putBackMovedMarks();
      }
    } putBack{this};
    tree = build(*body ? (*body)() : AnyView(), path, rootView->bounds(), &tree);
    putBack.core = nullptr;
  }

  // State lives while its identity is in the tree; what left is kept, with its key, until the disappear
  // actions, which hold it weakly, have run, and the last build's marks that name the key are gone. When
  // every state was reached there is nothing to look for.
  std::vector<decltype(states)::node_type> left;
  if (statesVisited != states.size()) {
    std::vector<std::shared_ptr<View>> leftViews;
    for (auto it = states.begin(); it != states.end();) {
      if (it->second.visitedIn == buildCount) {
        ++it;
        continue;
      }
      if (const auto& view = it->second.rare ? it->second.rare->bridgedView : kNoView) {
        // One the application moved elsewhere leaves from where it is.
        if (view->superview() == rootView) {
          leftViews.push_back(view);
        } else {
          view->removeFromSuperview();
        }
      }
      left.push_back(states.extract(it++));
    }
    // All at once: rows removed one by one each walked every row still there.
    rootView->removeSubviews(leftViews);
  }

  auto actions = diffMarks(animation);
  movedMarks.clear();
  std::swap(marks, buildingMarks);
  buildingMarks.clear();
  lastFinishedBuild = buildCount;
  std::swap(lastReached, reached);
  std::swap(stackMemos, nextStackMemos);
  nextStackMemos.clear();

  buildingNow.reset();
  const auto finished = std::chrono::steady_clock::now();
  nextRebuildDue = finished + std::max(kFrameInterval, finished - started);
  // Run after the tree is in place: an action may send notices, which schedule the next rebuild. Each is the
  // application's: one that throws costs only itself, and the rows after it still start.
  for (const auto& action : actions) guardedCall("An appear or disappear action", [&action] { action.action()(); });
}

std::vector<AnyView> DeclarativeHost::Core::diffMarks(const std::optional<Animation>& animation) {
  std::vector<AnyView> actions;
  auto leave = [&](const Mark& old) {
    if (old.node.kind() == AnyView::Kind::onDisappear && old.node.action()) actions.push_back(old.node);
    if (old.node.kind() == AnyView::Kind::transition) append({"remove " + old.node.transitionValue().name, animation});
  };
  auto come = [&](const Mark& now) {
    if (now.node.kind() == AnyView::Kind::onAppear && now.node.action()) actions.push_back(now.node);
    if (now.node.kind() == AnyView::Kind::transition) append({"insert " + now.node.transitionValue().name, animation});
  };
  // A tree that kept its shape lists the same marks in the same order as before: nothing came or left, and
  // one pass without a single allocation says so.
  if (marks.size() == buildingMarks.size()) {
    std::size_t same = 0;
    while (same < marks.size() && SameMark{}(&marks[same], &buildingMarks[same])) ++same;
    if (same == marks.size()) return actions;
  }
  keptNow.resize(buildingMarks.size(), kUnsettled);
  // A place built twice has marks outside its range: what was settled below bodies is decided again.
  auto unsettle = [](char& flag) {
    if (flag == kMoves || flag == kMatched) flag = kUnsettled;
  };
  if (reachedTwice) {
    putBackMovedMarks();
    std::for_each(keptBefore.begin(), keptBefore.end(), unsettle);
    std::for_each(keptNow.begin(), keptNow.end(), unsettle);
  }
  // The marks no body settled are matched by kind and path through hash sets, both ways, so a rebuild stays
  // linear in the tree. A side with none unsettled needs no set: the other side's all moved.
  const bool unsettledBefore = std::find(keptBefore.begin(), keptBefore.end(), kUnsettled) != keptBefore.end();
  const bool unsettledNow = std::find(keptNow.begin(), keptNow.end(), kUnsettled) != keptNow.end();
  std::unordered_set<const Mark*, MarkHash, SameMark> before, after;
  if (unsettledBefore && unsettledNow) {
    for (std::size_t i = 0; i < marks.size(); ++i) {
      if (keptBefore[i] == kUnsettled) before.insert(&marks[i]);
    }
    for (std::size_t i = 0; i < buildingMarks.size(); ++i) {
      if (keptNow[i] == kUnsettled) after.insert(&buildingMarks[i]);
    }
  }
  for (std::size_t i = 0; i < marks.size(); ++i) {
    if (keptBefore[i] == kMoves || (keptBefore[i] == kUnsettled && !after.contains(&marks[i]))) leave(marks[i]);
  }
  for (std::size_t i = 0; i < buildingMarks.size(); ++i) {
    if (keptNow[i] == kMoves || (keptNow[i] == kUnsettled && !before.contains(&buildingMarks[i]))) come(buildingMarks[i]);
  }
  return actions;
}

}  // namespace vellum
