// The declarative host: state per identity, one rebuild per burst of notices, appear and disappear actions,
// bridged views made once, and the log of animation scopes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cache_test_support.hpp"
#include "declarative_test_support.hpp"
#include "main_queue_support.hpp"
#include "vellum/views/declarative_host.hpp"
#include "vellum/views/progress_indicator.hpp"

namespace vellum::test {
namespace {

struct Counter : ObservableObject {
  int value = 0;
};

// A row whose body keeps a counter in its state and records its appear and disappear.
AnyView row(const std::string& name, std::vector<std::string>& events, int& made) {
  return AnyView::body([name, &events, &made](BuildContext& context) {
           auto counter = context.stateObject<Counter>([&made] {
             ++made;
             return std::make_shared<Counter>();
           });
           context.observe(*counter);
           return AnyView::clear()
               .onAppear([name, &events] { events.push_back("appear " + name); })
               .onDisappear([name, &events] { events.push_back("disappear " + name); });
         })
      .id(name);
}

TEST(DeclarativeHost, StateLivesWithItsIdentityAndActionsFollowTheTree) {
  onMain([] {
    std::vector<std::string> names{"a", "b"};
    std::vector<std::string> events;
    int made = 0;
    auto host = DeclarativeHost::make([&] {
      std::vector<AnyView> rows;
      for (const auto& name : names) rows.push_back(row(name, events, made));
      return AnyView::stack(rows);
    });
    host->rebuild();
    host->rebuild();
    EXPECT_EQ(made, 2);
    EXPECT_EQ(events, (std::vector<std::string>{"appear a", "appear b"}));

    // Reordered rows keep their state: identity is the id, not the place.
    names = {"b", "a"};
    host->rebuild();
    EXPECT_EQ(made, 2);
    EXPECT_EQ(events.size(), 2u);

    // A row that leaves loses its state; coming back it starts afresh.
    names = {"b", "c"};
    host->rebuild();
    EXPECT_EQ(made, 3);
    EXPECT_EQ(events, (std::vector<std::string>{"appear a", "appear b", "disappear a", "appear c"}));
    names = {"a", "b", "c"};
    host->rebuild();
    EXPECT_EQ(made, 4);
  });
}

// An action is the application's: one that throws costs only itself, and the rows after it still start.
TEST(DeclarativeHost, AnActionThatThrowsCostsOnlyItself) {
  onMain([] {
    std::vector<int> shown{0, 1, 2, 3, 4};
    std::vector<std::string> events;
    auto host = DeclarativeHost::make([&] {
      std::vector<AnyView> rows;
      for (int i : shown) {
        rows.push_back(AnyView::clear()
                           .onAppear([i, &events] {
                             events.push_back("appear " + std::to_string(i));
                             if (i == 1) throw std::runtime_error("appear");
                           })
                           .onDisappear([i, &events] {
                             events.push_back("disappear " + std::to_string(i));
                             if (i == 3) throw 3;
                           })
                           .id(i));
      }
      return AnyView::stack(rows);
    });
    EXPECT_NO_THROW(host->rebuild());
    EXPECT_EQ(events.size(), 5u);
    events.clear();
    shown = {};
    EXPECT_NO_THROW(host->rebuild());
    EXPECT_EQ(events.size(), 5u);
  });
}

// A body that asks its own host to rebuild while it is being built: the build under way ends whole, and the
// rebuild asked for runs after it, evaluating every body again.
TEST(DeclarativeHost, ABodyThatRebuildsItsOwnHostGetsThatRebuildAfterTheBuild) {
  std::shared_ptr<DeclarativeHost> host;
  auto evaluations = std::make_shared<int>(0);
  onMain([&] {
    auto self = std::make_shared<std::weak_ptr<DeclarativeHost>>();
    host = DeclarativeHost::make([self, evaluations] {
      std::vector<AnyView> rows;
      for (int i = 0; i < 40; ++i) {
        rows.push_back(AnyView::body([i, self, evaluations](BuildContext&) {
                         if (i == 20 && ++*evaluations <= 2) {
                           if (auto own = self->lock()) own->rebuild();
                         }
                         return AnyView::clear().onAppear([] {});
                       }).id(i));
      }
      return AnyView::stack(rows);
    });
    *self = host;
    host->rebuild();
    EXPECT_EQ(host->tree().children().size(), 40u);
    EXPECT_EQ(host->buildCount(), 1u);
  });
  // The rebuilds asked for run as tasks of their own, a display frame apart at most.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (onMain([&] { return host->buildCount(); }) < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  flushMain();
  onMain([&] {
    EXPECT_EQ(host->buildCount(), 3u);  // the one asked for by each of the first two evaluations, in turn
    EXPECT_EQ(*evaluations, 3);
    EXPECT_EQ(host->tree().children().size(), 40u);
    for (const auto& row : host->tree().children()) EXPECT_EQ(row.findAll(AnyView::Kind::onAppear).size(), 1u);
    host.reset();
  });
}

// The root body is the application's code and may give its host a new root while it runs: the body that
// runs is not destroyed under it (what it holds is read after the call), and the new root builds next.
TEST(DeclarativeHost, ARootThatSetsANewRootWhileItRunsFinishesWhole) {
  // Set by the destructor of what the first root holds; read here without going through the root itself.
  static std::atomic<bool> firstRootHeld{false};
  struct Held {
    bool owner = true;
    Held() { firstRootHeld = true; }
    Held(const Held&) : owner(false) {}
    Held(Held&& other) noexcept : owner(std::exchange(other.owner, false)) {}
    ~Held() {
      if (owner) firstRootHeld = false;
    }
  };
  std::shared_ptr<DeclarativeHost> host;
  auto secondBuilt = std::make_shared<int>(0);
  onMain([&] {
    auto self = std::make_shared<std::weak_ptr<DeclarativeHost>>();
    host = DeclarativeHost::make([self, secondBuilt, held = std::make_shared<Held>(), label = std::string(64, 'r')] {
      if (auto own = self->lock()) {
        own->setRoot([secondBuilt] {
          ++*secondBuilt;
          return AnyView::clear();
        });
      }
      // Still this root's: what it holds is alive until it returns.
      EXPECT_TRUE(firstRootHeld.load()) << "the running root was destroyed by the root that replaced it";
      EXPECT_EQ(label.size(), 64u);
      return AnyView::clear();
    });
    *self = host;
    host->rebuild();
  });
  flushMain();
  onMain([&] {
    EXPECT_FALSE(firstRootHeld.load());  // let go once it had returned
    host->rebuildIfNeeded();
    host->rebuild();
    EXPECT_GE(*secondBuilt, 1);
    host.reset();
  });
}

TEST(DeclarativeHost, ABurstOfNoticesIsOneRebuildAndTheLogKeepsEachScope) {
  auto counter = std::make_shared<Counter>();
  auto host = onMain([&] {
    auto h = DeclarativeHost::make([&] {
      return AnyView::body([&](BuildContext& context) {
        context.observe(*counter);
        return counter->value > 0 ? AnyView::clear().transition(AnyTransition::opacity()) : AnyView::clear();
      });
    });
    h->rebuild();
    return h;
  });
  onMain([&] {
    counter->sendWillChange();
    counter->value = 1;
    withAnimation(Animation::linear(0.25), [&] { counter->sendWillChange(); });
    counter->sendWillChange();
  });
  settle(host);
  onMain([&] {
    EXPECT_EQ(host->buildCount(), 2u);
    EXPECT_EQ(host->logLines(),
              (std::vector<std::string>{"change", "change in linear(0.25)", "change", "insert opacity in linear(0.25)"}));
  });
}

// Notices may come from any thread while the main queue rebuilds; each one is logged there, in the animation
// scope of the thread that sent it.
TEST(DeclarativeHostConcurrency, NoticesFromOtherThreadsAreTakenOnTheMainQueue) {
  auto counter = std::make_shared<Counter>();
  auto host = onMain([&] {
    auto h = DeclarativeHost::make([counter] {
      return AnyView::body([counter](BuildContext& context) {
        context.observe(*counter);
        return AnyView::clear();
      });
    });
    h->rebuild();
    return h;
  });
  constexpr int kSenders = 4, kNotices = 200;
  {
    std::vector<std::jthread> senders;
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([counter, s] {
        for (int n = 0; n < kNotices; ++n) {
          if (s == 0) {
            withAnimation(Animation::linear(0.5), [&] { counter->sendWillChange(); });
          } else {
            counter->sendWillChange();
          }
        }
      });
    }
    for (int i = 0; i < 50; ++i) onMain([&] { host->rebuild(); });
  }
  flushMain();
  flushMain();
  onMain([&] {
    const auto lines = host->logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "change"), (kSenders - 1) * kNotices);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "change in linear(0.5)"), kNotices);
    host.reset();
  });
}

class RecordingBridge final : public Bridge {
 public:
  explicit RecordingBridge(int* makes, int* updates) : makes_(makes), updates_(updates) {}
  std::shared_ptr<View> makeView() const override {
    ++*makes_;
    return View::make();
  }
  void updateView(View&) const override { ++*updates_; }

 private:
  int* makes_;
  int* updates_;
};

TEST(DeclarativeHost, BridgedViewsAreMadeOncePerIdentityAndLeaveWithIt) {
  onMain([] {
    int makes = 0, updates = 0;
    bool shown = true;
    auto bridge = std::make_shared<RecordingBridge>(&makes, &updates);
    std::optional<double> width = 100;
    auto host = DeclarativeHost::make([&] {
      return shown ? AnyView::stack({AnyView::bridged(bridge).frame(width, 50)}) : AnyView::stack({});
    });
    host->rebuild();
    host->rebuild();
    EXPECT_EQ(makes, 1);
    EXPECT_EQ(updates, 2);
    auto view = host->tree().findAll(AnyView::Kind::bridged).front().bridgedView();
    EXPECT_EQ(view->superview(), host->rootView());
    EXPECT_NE(view->window(), nullptr);
    // Laid out as its row: centred in the 320 x 480 host, an unconstrained side taking the host's.
    EXPECT_EQ(view->frame(), (Rect{{110, 215}, {100, 50}}));
    width.reset();
    host->rebuild();
    EXPECT_EQ(view->frame(), (Rect{{0, 215}, {320, 50}}));
    shown = false;
    host->rebuild();
    EXPECT_EQ(view->superview(), nullptr);
    EXPECT_EQ(host->stateCount(), 0u);
  });
}

// Rows that leave together take their views and the constraints naming them (or a view inside them) away,
// and leave every other row's as it was. Before, each left row's view walked all the rows still there: removing
// the rows of a long list took time growing with the square of its length.
TEST(DeclarativeHost, ManyBridgedRowsLeaveTogether) {
  onMain([] {
    int makes = 0, updates = 0;
    auto bridge = std::make_shared<RecordingBridge>(&makes, &updates);
    std::vector<int> rows(200);
    for (int i = 0; i < 200; ++i) rows[std::size_t(i)] = i;
    auto host = DeclarativeHost::make([&] {
      std::vector<AnyView> children;
      for (int row : rows) children.push_back(AnyView::bridged(bridge).id(row));
      return AnyView::stack(std::move(children));
    });
    host->rebuild();
    const auto before = host->rootView()->subviews();
    ASSERT_EQ(before.size(), 200u);
    auto inner = View::make();
    before[1]->addSubview(inner);
    View::activate(inner, LayoutAttribute::width, host->rootView(), LayoutAttribute::width, 0);
    View::activate(before[2], LayoutAttribute::width, host->rootView(), LayoutAttribute::width, 0);
    std::erase_if(rows, [](int row) { return row % 2 == 1; });
    host->rebuild();
    std::vector<std::shared_ptr<View>> kept;
    for (std::size_t i = 0; i < before.size(); i += 2) kept.push_back(before[i]);
    EXPECT_EQ(host->rootView()->subviews(), kept);
    for (std::size_t i = 1; i < before.size(); i += 2) {
      EXPECT_EQ(before[i]->superview(), nullptr) << i;
      EXPECT_EQ(before[i]->window(), nullptr) << i;
    }
    ASSERT_EQ(host->rootView()->constraints().size(), 1u) << "the one naming a view inside a left row went";
    EXPECT_EQ(host->rootView()->constraints().front()->item.lock(), before[2]);
    EXPECT_EQ(host->stateCount(), 100u);
    EXPECT_EQ(makes, 200);
  });
}

// A place is known by its position, but what stands there may change kind: a body keeping state of another
// type, a view bridged by another kind of bridge. That is another view, and it starts afresh; before, the old
// state was handed to it (a failed cast that stopped every later rebuild), and the old bridge's view too.
TEST(DeclarativeHost, AnotherKindOfViewInTheSamePlaceStartsAfresh) {
  struct Other : ObservableObject {};
  class ProgressBridge final : public Bridge {
   public:
    std::shared_ptr<View> makeView() const override { return ProgressIndicator::make(); }
    void updateView(View& view) const override { static_cast<ProgressIndicator&>(view).startAnimation(); }
  };
  onMain([] {
    int makes = 0, updates = 0;
    bool second = false;
    auto bridge = std::make_shared<RecordingBridge>(&makes, &updates);
    auto host = DeclarativeHost::make([&] {
      if (!second) {
        return AnyView::stack({AnyView::body([](BuildContext& c) {
                                 c.stateObject<Counter>([] { return std::make_shared<Counter>(); })->value = 1;
                                 return AnyView::clear();
                               }),
                               AnyView::bridged(bridge)});
      }
      return AnyView::stack({AnyView::body([](BuildContext& c) {
                               c.stateObject<Other>([] { return std::make_shared<Other>(); });
                               return AnyView::clear();
                             }),
                             AnyView::bridged(std::make_shared<ProgressBridge>())});
    });
    host->rebuild();
    const auto first = host->tree().findAll(AnyView::Kind::bridged).front().bridgedView();
    second = true;
    EXPECT_NO_THROW(host->rebuild());
    const auto now = host->tree().findAll(AnyView::Kind::bridged).front().bridgedView();
    EXPECT_NE(now, first);
    EXPECT_EQ(first->superview(), nullptr);
    ASSERT_NE(std::dynamic_pointer_cast<ProgressIndicator>(now), nullptr);
    EXPECT_TRUE(std::static_pointer_cast<ProgressIndicator>(now)->isAnimating());
    EXPECT_EQ(makes, 1);
  });
}

// A bridge is the application's: one that makes no view, or throws, leaves its place empty; the rest builds.
TEST(DeclarativeHost, ABridgeThatMakesNoViewLeavesItsPlaceEmpty) {
  class NoViewBridge final : public Bridge {
   public:
    std::shared_ptr<View> makeView() const override { return nullptr; }
    void updateView(View&) const override {}
  };
  class ThrowingBridge final : public Bridge {
   public:
    std::shared_ptr<View> makeView() const override { throw std::runtime_error("make"); }
    void updateView(View&) const override {}
  };
  onMain([] {
    int makes = 0, updates = 0;
    auto host = DeclarativeHost::make([&] {
      return AnyView::stack({AnyView::bridged(std::make_shared<NoViewBridge>()),
                             AnyView::bridged(std::make_shared<ThrowingBridge>()),
                             AnyView::bridged(std::make_shared<RecordingBridge>(&makes, &updates))});
    });
    EXPECT_NO_THROW(host->rebuild());
    const auto bridged = host->tree().findAll(AnyView::Kind::bridged);
    ASSERT_EQ(bridged.size(), 3u);
    EXPECT_EQ(bridged[0].bridgedView(), nullptr);
    EXPECT_EQ(bridged[1].bridgedView(), nullptr);
    EXPECT_NE(bridged[2].bridgedView(), nullptr);
    EXPECT_EQ(host->rootView()->subviews().size(), 1u);
  });
}

// A host that no shared pointer owns (on the stack, or in an optional as here) hears its rows' notices and
// rebuilds by itself, as one made with `make` does.
TEST(DeclarativeHost, AHostNotMadeWithMakeIsRebuiltByNotices) {
  auto counter = std::make_shared<Counter>();
  auto rebuilt = std::make_shared<Awaited<bool>>();
  std::optional<DeclarativeHost> host;
  onMain([&] {
    host.emplace([counter, rebuilt] {
      return AnyView::body([counter, rebuilt](BuildContext& context) {
        context.observe(*counter);
        if (counter->value == 1) rebuilt->set(true);
        return AnyView::clear();
      });
    });
    host->rebuild();
  });
  onMain([&] {
    counter->value = 1;
    counter->sendWillChange();
  });
  EXPECT_TRUE(rebuilt->get());
  EXPECT_EQ(onMain([&] { return host->buildCount(); }), 2u);
  // Gone with its notices still to come: they find nothing.
  onMain([&] {
    host.reset();
    counter->sendWillChange();
  });
  flushMain();
}

// Notices that arrive one by one, each in a main-queue task of its own as images arriving over the network
// do, share rebuilds: at most one per display frame, and the last one shows the last change.
TEST(DeclarativeHost, NoticesArrivingOneByOneShareRebuilds) {
  constexpr int kRows = 300;
  std::vector<std::shared_ptr<Counter>> counters;
  for (int i = 0; i < kRows; ++i) counters.push_back(std::make_shared<Counter>());
  auto lastSeen = std::make_shared<std::atomic<int>>(0);
  auto host = onMain([&] {
    auto h = DeclarativeHost::make([counters, lastSeen] {
      std::vector<AnyView> rows;
      for (std::size_t i = 0; i < counters.size(); ++i) {
        rows.push_back(AnyView::body([counter = counters[i], lastSeen](BuildContext& context) {
                         context.observe(*counter);
                         if (counter->value > 0) lastSeen->store(std::max(lastSeen->load(), counter->value));
                         return AnyView::clear();
                       }).id(int(i)));
      }
      return AnyView::stack(rows);
    });
    h->rebuild();
    return h;
  });
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < kRows; ++i) {
    onMain([&] {
      counters[i]->value = i + 1;
      counters[i]->sendWillChange();
    });
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const std::size_t builds = onMain([&] {
    host->rebuildIfNeeded();
    return host->buildCount();
  });
  EXPECT_EQ(lastSeen->load(), kRows);
  // The first build, then at most one per frame while notices came, and the one that caught up.
  const auto frames = std::size_t(elapsed / std::chrono::microseconds(16'666));
  EXPECT_LE(builds, 1 + frames + 2) << "over " << std::chrono::duration<double>(elapsed).count() << " s";
  onMain([&] {
    EXPECT_FALSE(host->rebuildIfNeeded());  // nothing left waiting
    host.reset();
  });
}

// A rebuild that notices alone asked for builds again only the bodies that read what sent them. What the
// others built stands as it was, marks included: their actions and transitions still follow the tree over
// later rebuilds of either kind, as the number of marks before them changes.
TEST(DeclarativeHost, ANoticeBuildsAgainOnlyTheBodiesThatReadWhatChanged) {
  onMain([] {
    constexpr int kRows = 4;
    std::vector<std::shared_ptr<Counter>> counters;
    std::vector<int> evaluations(kRows, 0);
    std::vector<std::string> events;
    std::vector<AnyView> rows;
    for (int i = 0; i < kRows; ++i) {
      counters.push_back(std::make_shared<Counter>());
      rows.push_back(AnyView::body([i, counter = counters.back(), &evaluations, &events](BuildContext& context) {
                       ++evaluations[std::size_t(i)];
                       context.observe(*counter);
                       AnyView mark = AnyView::clear()
                                          .onAppear([i, &events] { events.push_back("appear " + std::to_string(i)); })
                                          .onDisappear([i, &events] { events.push_back("disappear " + std::to_string(i)); });
                       if (counter->value == 0) return AnyView::stack({mark});
                       return AnyView::stack({mark, AnyView::clear().transition(AnyTransition::slide())});
                     }).id(i));
    }
    auto host = DeclarativeHost::make([&rows] { return AnyView::stack(rows); });
    host->rebuild();
    auto change = [&](int row, int value) {
      counters[std::size_t(row)]->sendWillChange();
      counters[std::size_t(row)]->value = value;
      EXPECT_TRUE(host->rebuildIfNeeded());
    };
    auto transitions = [&] { return host->tree().findAll(AnyView::Kind::transition).size(); };

    change(1, 1);
    change(2, 1);
    change(1, 0);
    EXPECT_EQ(evaluations, (std::vector<int>{1, 3, 2, 1}));
    EXPECT_EQ(transitions(), 1u);
    EXPECT_EQ(host->logLines(), (std::vector<std::string>{"change", "insert slide", "change", "insert slide", "change",
                                                          "remove slide"}));
    // An explicit rebuild builds every body, and finds every mark where the kept rows left it.
    host->rebuild();
    EXPECT_EQ(evaluations, (std::vector<int>{2, 4, 3, 2}));
    EXPECT_EQ(host->logLines().size(), 6u);
    change(0, 1);
    rows.erase(rows.begin() + 1);
    host->rebuild();
    EXPECT_EQ(events, (std::vector<std::string>{"appear 0", "appear 1", "appear 2", "appear 3", "disappear 1"}));
    EXPECT_EQ(transitions(), 2u);
    EXPECT_EQ(host->stateCount(), 3u);
  });
}

// An explicit rebuild builds every body again; what comes out equal to what stood in its place is that, and
// what changed shows at once. Actions are never taken from a build before: the latest ones run.
TEST(DeclarativeHost, AFullRebuildKeepsWhatCameOutEqualAndShowsWhatChanged) {
  onMain([] {
    std::vector<ImagePtr> images{Image::withoutBitmap({1, 1}), Image::withoutBitmap({2, 2}), Image::withoutBitmap({3, 3})};
    std::vector<double> fades{1.0, 1.0, 1.0};
    int generation = 0;
    std::vector<std::string> events;
    bool shown = true;
    auto host = DeclarativeHost::make([&] {
      std::vector<AnyView> rows;
      if (!shown) return AnyView::stack(rows);
      for (int i = 0; i < 3; ++i) {
        rows.push_back(AnyView::body([&, i](BuildContext&) {
                         auto picture = AnyView::image(images[std::size_t(i)], {"resizable"})
                                            .opacity(fades[std::size_t(i)])
                                            .frame(10.0, std::nullopt);
                         return AnyView::stack({picture, AnyView::clear().transition(AnyTransition::opacity())})
                             .onAppear(nullptr);
                       }).id(i));
      }
      rows.push_back(AnyView::clear().onDisappear([&events, built = generation] {
        events.push_back("gone, made by build " + std::to_string(built));
      }));
      return AnyView::stack(rows);
    });
    host->rebuild();
    const AnyView first = host->tree();
    auto rowOf = [](const AnyView& tree, std::size_t i) { return &tree.children().at(i).children(); };

    ++generation;
    host->rebuild();
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(rowOf(host->tree(), i), rowOf(first, i)) << i;

    images[1] = Image::withoutBitmap({4, 4});
    fades[2] = 0.5;
    ++generation;
    host->rebuild();
    const AnyView& tree = host->tree();
    EXPECT_EQ(rowOf(tree, 0), rowOf(first, 0));
    EXPECT_NE(rowOf(tree, 1), rowOf(first, 1));
    EXPECT_NE(rowOf(tree, 2), rowOf(first, 2));
    const auto pictures = tree.findAll(AnyView::Kind::image);
    ASSERT_EQ(pictures.size(), 3u);
    EXPECT_EQ(pictures[1].imageValue(), images[1]);
    EXPECT_EQ(pictures[1].imageModifiers(), (std::vector<std::string>{"resizable"}));
    const auto faded = tree.findAll(AnyView::Kind::opacity);
    ASSERT_EQ(faded.size(), 3u);
    EXPECT_EQ(faded[0].opacityValue(), 1.0);
    EXPECT_EQ(faded[2].opacityValue(), 0.5);

    shown = false;
    host->rebuild();
    EXPECT_EQ(events, (std::vector<std::string>{"gone, made by build 2"}));
    EXPECT_EQ(host->logLines(), (std::vector<std::string>{"insert opacity", "insert opacity", "insert opacity",
                                                          "remove opacity", "remove opacity", "remove opacity"}));
  });
}

// A full rebuild gives back what a body built last only when the new result is equal node for node: not for
// sides given the other way round, other image names, an opacity equal to nothing or a renamed transition. An
// id equal in value, though made again, is the same id; a result holding the nodes it held last time is those.
TEST(DeclarativeHost, AFullRebuildSharesOnlyWhatIsEqualNodeForNode) {
  onMain([] {
    const auto picture = Image::withoutBitmap({1, 1});
    std::optional<double> width = 10.0, height;
    std::vector<std::string> names{"resizable"};
    double fade = 1.0;
    std::string transition = "opacity";
    const AnyView cached = AnyView::image(picture).opacity(0.5);
    bool useCached = false;
    auto host = DeclarativeHost::make([&] {
      return AnyView::stack({AnyView::body([&](BuildContext&) {
        if (useCached) return cached;
        return AnyView::stack({AnyView::image(picture, names).opacity(fade).frame(width, height).id(std::string("inner")),
                               AnyView::clear().transition(AnyTransition{transition})});
      })});
    });
    host->rebuild();
    auto row = [&] { return &host->tree().children().at(0).children(); };
    // Whether the row is another node after `change` and a rebuild. The tree before is held, so that a node
    // made where a released one was cannot pass for it.
    auto renewed = [&](const std::function<void()>& change) {
      const AnyView before = host->tree();
      change();
      host->rebuild();
      return row() != &before.children().at(0).children();
    };
    EXPECT_FALSE(renewed([] {}));
    EXPECT_TRUE(renewed([&] { std::swap(width, height); }));
    EXPECT_FALSE(renewed([] {}));
    EXPECT_TRUE(renewed([&] { names = {"scaled"}; }));
    EXPECT_FALSE(renewed([] {}));
    EXPECT_TRUE(renewed([&] { fade = std::nan(""); }));
    EXPECT_TRUE(renewed([] {}));
    EXPECT_TRUE(renewed([&] { fade = 1.0; }));
    EXPECT_FALSE(renewed([] {}));
    EXPECT_TRUE(renewed([&] { transition = "slide"; }));
    EXPECT_FALSE(renewed([] {}));
    EXPECT_TRUE(renewed([&] { useCached = true; }));
    EXPECT_EQ(row(), &cached.children());
    EXPECT_FALSE(renewed([] {}));
    EXPECT_EQ(row(), &cached.children());
    EXPECT_TRUE(renewed([&] { useCached = false; }));
    // A transition renamed in its place is still the mark that stood there: only leaving and coming log.
    EXPECT_EQ(host->logLines(), (std::vector<std::string>{"insert opacity", "remove slide", "insert slide"}));
  });
}

// A full rebuild that a body ends half way leaves the marks of the rows before it as they were: the next one
// finds them in their places, and nothing comes or leaves again.
TEST(DeclarativeHost, AFullRebuildEndedByABodyThatThrowsKeepsTheMarksBeforeIt) {
  onMain([] {
    bool fail = false;
    auto host = DeclarativeHost::make([&fail] {
      std::vector<AnyView> rows;
      for (int i = 0; i < 3; ++i) {
        rows.push_back(AnyView::body([](BuildContext&) { return AnyView::clear().transition(AnyTransition::slide()); }).id(i));
      }
      rows.push_back(AnyView::body([&fail](BuildContext&) {
                       if (fail) throw std::runtime_error("body");
                       return AnyView::clear();
                     }).id(3));
      return AnyView::stack(rows);
    });
    host->rebuild();
    host->rebuild();
    fail = true;
    EXPECT_THROW(host->rebuild(), std::runtime_error);
    fail = false;
    host->rebuild();
    host->rebuild();
    EXPECT_EQ(host->tree().findAll(AnyView::Kind::transition).size(), 3u);
    EXPECT_EQ(host->logLines(), (std::vector<std::string>{"insert slide", "insert slide", "insert slide"}));
  });
}

// A row built again whose marks change shape: each action runs once, when its mark came or left, and a mark
// stays while one of its kind stands in its place, however many modifiers of that kind there are.
TEST(DeclarativeHost, MarksOfARowBuiltAgainComeAndLeaveOnce) {
  onMain([] {
    auto counter = std::make_shared<Counter>();
    std::vector<std::string> events;
    auto log = [&events](std::string event) { return [&events, event] { events.push_back(event); }; };
    auto row = [&](const std::string& name) {
      return AnyView::body([&, name](BuildContext& context) {
               context.observe(*counter);
               switch (counter->value) {
                 case 1:
                   return AnyView::stack({AnyView::clear().onAppear(log("appear " + name + "1")),
                                          AnyView::clear().transition(AnyTransition::slide())});
                 case 2:
                   return AnyView::clear().onAppear(log("appear " + name + "X")).onAppear(log("appear " + name + "Y"));
                 case 3:
                   return AnyView::clear().onDisappear(log("disappear " + name + "D")).onDisappear(log("disappear " + name + "E"));
                 default:
                   return AnyView::clear().onAppear(log("appear " + name + "0")).onDisappear(log("disappear " + name + "0"));
               }
             })
          .id(name);
    };
    // "b" stands twice: one place built twice in each build.
    auto host = DeclarativeHost::make([&] { return AnyView::stack({row("a"), row("b"), row("b")}); });
    host->rebuild();
    EXPECT_EQ(events, (std::vector<std::string>{"appear a0", "appear b0", "appear b0"}));
    auto step = [&](int value, bool noticed) {
      events.clear();
      counter->sendWillChange();
      counter->value = value;
      if (noticed) {
        EXPECT_TRUE(host->rebuildIfNeeded());
      } else {
        host->rebuild();
      }
      return events;
    };
    EXPECT_EQ(step(1, true), (std::vector<std::string>{"disappear a0", "disappear b0", "disappear b0", "appear a1",
                                                        "appear b1", "appear b1"}));
    EXPECT_EQ(step(2, true), (std::vector<std::string>{"appear aX", "appear aY", "appear bX", "appear bY", "appear bX",
                                                        "appear bY"}));
    EXPECT_EQ(step(0, false), (std::vector<std::string>{}));
    EXPECT_EQ(step(3, true), (std::vector<std::string>{}));
    EXPECT_EQ(step(0, true), (std::vector<std::string>{"appear a0", "appear b0", "appear b0"}));
    EXPECT_EQ(host->logLines(), (std::vector<std::string>{"change", "insert slide", "insert slide", "insert slide",
                                                          "change", "remove slide", "remove slide", "remove slide",
                                                          "change", "change", "change"}));
  });
}

// A body that reads nothing itself is built again when a body below it read what changed: what it built holds
// the one below.
TEST(DeclarativeHost, ANoticeBuildsAgainTheBodiesAboveTheOneThatReadIt) {
  onMain([] {
    auto counter = std::make_shared<Counter>();
    AnyView outer = AnyView::body([counter](BuildContext&) {
      return AnyView::stack({AnyView::body([counter](BuildContext& context) {
        context.observe(*counter);
        return counter->value == 0 ? AnyView::clear() : AnyView::clear().opacity(0.5);
      })});
    });
    auto host = DeclarativeHost::make([outer] { return outer; });
    host->rebuild();
    counter->sendWillChange();
    counter->value = 1;
    EXPECT_TRUE(host->rebuildIfNeeded());
    const auto faded = host->tree().findAll(AnyView::Kind::opacity);
    ASSERT_EQ(faded.size(), 1u);
    EXPECT_EQ(faded.front().opacityValue(), 0.5);
  });
}

// A body that throws ends its rebuild half way. The rebuild after it keeps nothing of that one: its rows'
// actions and transitions still follow the tree.
TEST(DeclarativeHost, ARebuildEndedByABodyThatThrowsLeavesTheNextOneWhole) {
  onMain([] {
    auto grows = std::make_shared<Counter>();
    auto fails = std::make_shared<Counter>();
    std::vector<std::string> events;
    auto marked = [&events](const std::string& name) {
      return AnyView::clear().onAppear([name, &events] { events.push_back("appear " + name); });
    };
    std::vector<AnyView> rows{
        AnyView::body([grows, marked](BuildContext& context) {
          context.observe(*grows);
          if (grows->value == 0) return AnyView::stack({marked("a")});
          return AnyView::stack({marked("a"), marked("a2"), AnyView::clear().transition(AnyTransition::slide())});
        }).id(0),
        AnyView::body([marked](BuildContext&) { return marked("b"); }).id(1),
        AnyView::body([fails](BuildContext& context) {
          context.observe(*fails);
          if (fails->value == 1) throw std::runtime_error("body");
          return AnyView::clear();
        }).id(2)};
    auto host = DeclarativeHost::make([&rows] { return AnyView::stack(rows); });
    host->rebuild();
    grows->sendWillChange();
    grows->value = 1;
    fails->sendWillChange();
    fails->value = 1;
    try {
      host->rebuildIfNeeded();
    } catch (...) {
    }
    fails->sendWillChange();
    fails->value = 2;
    EXPECT_TRUE(host->rebuildIfNeeded());
    EXPECT_EQ(host->tree().findAll(AnyView::Kind::transition).size(), 1u);
    EXPECT_EQ(events, (std::vector<std::string>{"appear a", "appear b", "appear a2"}));
    const auto lines = host->logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "insert slide"), 1);
    host->rebuild();
    EXPECT_EQ(events.size(), 3u);
  });
}

// Every notice is logged, but the log keeps only the latest entries: a host that lives long does not grow.
TEST(DeclarativeHost, TheLogKeepsTheLatestEntriesOnly) {
  auto counter = std::make_shared<Counter>();
  auto host = onMain([&] {
    auto h = DeclarativeHost::make([counter] {
      return AnyView::body([counter](BuildContext& context) {
        context.observe(*counter);
        return AnyView::clear();
      });
    });
    h->rebuild();
    return h;
  });
  onMain([&] {
    for (std::size_t i = 0; i < 3 * DeclarativeHost::kLogLimit; ++i) counter->sendWillChange();
    withAnimation(Animation::linear(0.5), [&] { counter->sendWillChange(); });
  });
  onMain([&] {
    const auto lines = host->logLines();
    EXPECT_EQ(lines.size(), DeclarativeHost::kLogLimit);
    EXPECT_EQ(lines.back(), "change in linear(0.5)");
    EXPECT_EQ(lines.front(), "change");
    host.reset();
  });
}

// One object read by a body of one host and by two bodies of another: once the first host is gone, a notice
// still reaches both bodies of the second, and only a rebuild of the second builds them again.
TEST(DeclarativeHost, ANoticeReachesEveryBodyThatReadTheObjectInEveryHostLeft) {
  onMain([] {
    auto shared = std::make_shared<Counter>();
    std::vector<int> evaluations(3, 0);
    auto reader = [&](int which) {
      return AnyView::body([&, which](BuildContext& context) {
               ++evaluations[std::size_t(which)];
               context.observe(*shared);
               return AnyView::clear();
             }).id(which);
    };
    auto first = DeclarativeHost::make([&] { return reader(0); });
    auto second = DeclarativeHost::make([&] { return AnyView::stack({reader(1), reader(2)}); });
    first->rebuild();
    second->rebuild();
    first.reset();
    shared->sendWillChange();
    EXPECT_TRUE(second->rebuildIfNeeded());
    EXPECT_EQ(evaluations, (std::vector<int>{1, 2, 2}));
    EXPECT_FALSE(second->rebuildIfNeeded());
  });
}

// Places many levels down (longer paths than most) keep their state and marks from build to build and lose
// them once; a state object made as nothing stays nothing, without being made again.
TEST(DeclarativeHost, DeepPlacesAndEmptyStateAreKnownAgainAtEachBuild) {
  onMain([] {
    std::vector<std::string> events;
    int made = 0, madeEmpty = 0;
    bool shown = true;
    auto host = DeclarativeHost::make([&] {
      if (!shown) return AnyView::stack({});
      AnyView deep = row("deep", events, made);
      for (int level = 0; level < 6; ++level) deep = AnyView::stack({AnyView::clear(), deep}).opacity(0.5);
      AnyView empty = AnyView::body([&](BuildContext& context) {
        EXPECT_EQ(context.stateObject<Counter>([&] {
          ++madeEmpty;
          return std::shared_ptr<Counter>();
        }),
                  nullptr);
        return AnyView::clear();
      });
      return AnyView::stack({deep, empty});
    });
    host->rebuild();
    host->rebuild();
    host->rebuild();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(madeEmpty, 1);
    EXPECT_EQ(host->stateCount(), 2u);
    EXPECT_EQ(events, (std::vector<std::string>{"appear deep"}));
    shown = false;
    host->rebuild();
    EXPECT_EQ(events, (std::vector<std::string>{"appear deep", "disappear deep"}));
    EXPECT_EQ(host->stateCount(), 0u);
  });
}

// A mark is known by its kind and place, whatever built it: a place whose body gives way to plain nodes
// making the same marks keeps them, and marks below an id in a body or deep below the root come and go once,
// with the rows holding them.
TEST(DeclarativeHost, MarksAreKnownByTheirPlaceWhateverBuiltThem) {
  onMain([] {
    std::vector<std::string> events;
    auto marked = [&events](const std::string& name) {
      return AnyView::clear()
          .onAppear([&events, name] { events.push_back("appear " + name); })
          .onDisappear([&events, name] { events.push_back("disappear " + name); });
    };
    enum class Shape { bodies, plain, gone } shape = Shape::bodies;
    auto host = DeclarativeHost::make([&] {
      if (shape == Shape::gone) return AnyView::stack({});
      // The first row's marks stand in the same place either way: below a body's result, or a stack's child.
      // Without bodies the rows come in another order, which their ids keep apart from their places.
      AnyView first = shape == Shape::bodies ? AnyView::body([&](BuildContext&) { return marked("first"); })
                                             : AnyView::stack({marked("first")});
      AnyView named = AnyView::body([&](BuildContext&) { return AnyView::stack({marked("named").id(7)}); });
      AnyView deep = marked("deep");
      for (int level = 0; level < 4; ++level) deep = AnyView::stack({deep});
      std::vector<AnyView> rows{first.id(1), named.id(2), deep.id(3)};
      if (shape == Shape::plain) std::reverse(rows.begin(), rows.end());
      return AnyView::stack(std::move(rows));
    });
    host->rebuild();
    EXPECT_EQ(events, (std::vector<std::string>{"appear first", "appear named", "appear deep"}));
    for (Shape next : {Shape::bodies, Shape::plain, Shape::plain, Shape::bodies}) {
      shape = next;
      host->rebuild();
    }
    EXPECT_EQ(events.size(), 3u);
    shape = Shape::gone;
    host->rebuild();
    std::sort(events.begin() + 3, events.end());
    EXPECT_EQ(events, (std::vector<std::string>{"appear first", "appear named", "appear deep", "disappear deep",
                                                "disappear first", "disappear named"}));
  });
}

// A body keeping several state objects and reading several objects keeps each of them, hears from each, and
// starts afresh once its row has left.
TEST(DeclarativeHost, ABodyKeepsEveryStateObjectAndHearsFromEveryObjectItReads) {
  struct Other : ObservableObject {};
  onMain([] {
    auto first = std::make_shared<Counter>();
    auto second = std::make_shared<Counter>();
    int built = 0, made = 0;
    std::vector<const void*> kept;
    bool shown = true;
    auto host = DeclarativeHost::make([&] {
      if (!shown) return AnyView::stack({});
      return AnyView::stack({AnyView::body([&](BuildContext& context) {
        ++built;
        auto make = [&made] { ++made; return std::make_shared<Counter>(); };
        kept = {context.stateObject<Counter>(make).get(),
                context.stateObject<Other>([&made] { ++made; return std::make_shared<Other>(); }).get(),
                context.stateObject<Counter>(make).get()};
        context.observe(*first);
        context.observe(*second);
        return AnyView::clear();
      })});
    });
    host->rebuild();
    const auto madeFirst = kept;
    EXPECT_EQ(made, 3);
    for (auto* object : {first.get(), second.get()}) {
      object->sendWillChange();
      EXPECT_TRUE(host->rebuildIfNeeded());
    }
    EXPECT_EQ(built, 3);
    EXPECT_EQ(made, 3);
    EXPECT_EQ(kept, madeFirst);
    shown = false;
    host->rebuild();
    shown = true;
    host->rebuild();
    EXPECT_EQ(made, 6);
  });
}

// A long list whose rows leave and come by the dozen: each row that stays keeps its state, whatever left or
// came beside it, and each row that comes starts afresh.
TEST(DeclarativeHost, ALongListKeepsTheStateOfEveryRowThatStays) {
  onMain([] {
    std::vector<std::string> events;
    int made = 0;
    std::vector<int> shown;
    for (int i = 0; i < 100; ++i) shown.push_back(i);
    auto host = DeclarativeHost::make([&] {
      std::vector<AnyView> rows;
      for (int i : shown) rows.push_back(row(std::to_string(i), events, made));
      return AnyView::stack(std::move(rows));
    });
    host->rebuild();
    // Every even row leaves, and fifty new ones come among those that stay.
    std::vector<int> next;
    for (int i = 1; i < 100; i += 2) next.insert(next.end(), {i, 100 + i / 2});
    shown = next;
    host->rebuild();
    host->rebuild();
    EXPECT_EQ(made, 150);
    EXPECT_EQ(host->stateCount(), 100u);
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.starts_with("disappear"); }), 50);
    EXPECT_EQ(std::count(events.begin(), events.end(), "appear 149"), 1);
    shown = {};
    host->rebuild();
    EXPECT_EQ(host->stateCount(), 0u);
    EXPECT_EQ(events.size(), 300u);
  });
}

// A long list whose row values the application keeps and hands to every build: each rebuild shows what each
// row's body makes now, whether the row's last result stands (the rows' nodes stay those of the last tree) or
// not, after a notice, after a build a body ended half way, and when rows come, leave or move.
TEST(DeclarativeHost, ALongListOfKeptRowValuesShowsWhatEachBodyMakesNow) {
  onMain([] {
    const auto picture = Image::withoutBitmap({1, 1});
    std::vector<double> fades;
    std::vector<std::shared_ptr<Counter>> counters;
    std::vector<int> evaluations;
    std::vector<std::string> events;
    bool failing = false;
    // Row 7's body holds an action, which no build takes from the one before; row 9's may throw.
    auto makeRow = [&](int i) {
      fades.push_back(1.0);
      counters.push_back(std::make_shared<Counter>());
      evaluations.push_back(0);
      AnyView body = AnyView::body([&, i](BuildContext& context) {
                       ++evaluations[std::size_t(i)];
                       context.observe(*context.stateObject<Counter>([&] { return counters[std::size_t(i)]; }));
                       if (i == 9 && failing) throw std::runtime_error("row 9");
                       std::function<void()> action;
                       if (i == 7) action = [&events] { events.push_back("appear 7"); };
                       return AnyView::stack({AnyView::image(picture).opacity(fades[std::size_t(i)])}).onAppear(action);
                     }).id(i);
      // Even rows as an image row is, an id inside a stack; odd ones the id alone; row 5 with a mark of its own.
      if (i == 5) return body.onDisappear([&events] { events.push_back("disappear 5"); });
      return i % 2 == 0 ? AnyView::stack({body}) : body;
    };
    std::vector<AnyView> rows;
    for (int i = 0; i < 12; ++i) rows.push_back(makeRow(i));
    auto host = DeclarativeHost::make([&rows] { return AnyView::stack(rows); });
    auto fadesShown = [&] {
      std::vector<double> shown;
      for (const auto& faded : host->tree().findAll(AnyView::Kind::opacity)) shown.push_back(faded.opacityValue());
      return shown;
    };
    auto sameRows = [&](const AnyView& before) {
      std::vector<std::size_t> same;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (&host->tree().children().at(i).children() == &before.children().at(i).children()) same.push_back(i);
      }
      return same;
    };
    host->rebuild();
    AnyView before = host->tree();
    host->rebuild();
    EXPECT_EQ(sameRows(before), (std::vector<std::size_t>{0, 1, 2, 3, 4, 6, 8, 9, 10, 11}));

    fades[3] = 0.5;
    fades[10] = 0.25;
    before = host->tree();
    host->rebuild();
    EXPECT_EQ(sameRows(before), (std::vector<std::size_t>{0, 1, 2, 4, 6, 8, 9, 11}));
    EXPECT_EQ(fadesShown(), (std::vector<double>{1, 1, 1, 0.5, 1, 1, 1, 1, 1, 1, 0.25, 1}));
    EXPECT_EQ(evaluations, std::vector<int>(12, 3));

    // A notice builds row 4 again, and only it.
    counters[4]->sendWillChange();
    fades[4] = 0.75;
    before = host->tree();
    EXPECT_TRUE(host->rebuildIfNeeded());
    EXPECT_EQ(sameRows(before), (std::vector<std::size_t>{0, 1, 2, 3, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(fadesShown(), (std::vector<double>{1, 1, 1, 0.5, 0.75, 1, 1, 1, 1, 1, 0.25, 1}));
    EXPECT_EQ(evaluations, (std::vector<int>{3, 3, 3, 3, 4, 3, 3, 3, 3, 3, 3, 3}));

    // Row 9 ends a build half way, after row 2 changed; the next build is whole.
    fades[2] = 0.5;
    failing = true;
    EXPECT_THROW(host->rebuild(), std::runtime_error);
    failing = false;
    fades[11] = 0.5;
    host->rebuild();
    EXPECT_EQ(fadesShown(), (std::vector<double>{1, 1, 0.5, 0.5, 0.75, 1, 1, 1, 1, 1, 0.25, 0.5}));
    EXPECT_EQ(events, (std::vector<std::string>{"appear 7"}));

    // A row comes first, one row's value stands twice, row 7 leaves: states follow the ids, and the rows show
    // their own fades in their new places. Row 5's own mark lies outside its id, so it is known by its place:
    // moved one down, it leaves.
    rows.insert(rows.begin(), makeRow(12));
    fades[12] = 0.125;
    rows.push_back(rows[2]);
    rows.erase(rows.begin() + 8);
    host->rebuild();
    host->rebuild();
    EXPECT_EQ(fadesShown(), (std::vector<double>{0.125, 1, 1, 0.5, 0.5, 0.75, 1, 1, 1, 1, 0.25, 0.5, 1}));
    EXPECT_EQ(host->stateCount(), 12u);
    EXPECT_EQ(events, (std::vector<std::string>{"appear 7", "disappear 5"}));
    fades[1] = 0.5;
    host->rebuild();
    EXPECT_EQ(fadesShown(), (std::vector<double>{0.125, 1, 0.5, 0.5, 0.5, 0.75, 1, 1, 1, 1, 0.25, 0.5, 0.5}));
  });
}

TEST(DeclarativeHost, RebuildingOffTheMainQueueStopsNamingTheCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto host = onMain([] { return DeclarativeHost::make([] { return AnyView::clear(); }); });
  EXPECT_DEATH(host->rebuild(), "DeclarativeHost::rebuild.* must run on the main queue");
  EXPECT_DEATH(host->setRoot([] { return AnyView::clear(); }), "DeclarativeHost::setRoot.* must run on the main queue");
  EXPECT_DEATH(DeclarativeHost::make([] { return AnyView::clear(); }), "DeclarativeHost.* must run on the main queue");
  onMain([&] { host.reset(); });
}

}  // namespace
}  // namespace vellum::test
