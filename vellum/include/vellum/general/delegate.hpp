#pragma once
// Delegate: a callback slot that holds its target weakly, so a slot never keeps its owner alive.
//
// Example:
//   vellum::Delegate<int, std::string> onEvent;
//   struct Owner { std::string name(int value) const { return "item " + std::to_string(value); } };
//   auto self = std::make_shared<Owner>();
//   onEvent.delegate(self, [](Owner& owner, int value) -> std::optional<std::string> { return owner.name(value); });
//   std::optional<std::string> answer = onEvent(3);   // none once `self` is gone
//
// `Input` = `std::tuple<>` gives the no-argument forms `call()` and `operator()()`. When `Output` is itself a
// `std::optional`, calls answer `Output` (flattened) instead of an optional of it.
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <type_traits>

#include "foundation/thread_pool.hpp"

#include <boost/asio/post.hpp>

namespace vellum {

namespace detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
}  // namespace detail

template <class Input, class Output>
class Delegate {
 public:
  using Block = std::function<std::optional<Output>(Input)>;
  using AsyncBlock = std::function<std::future<std::optional<Output>>(Input)>;
  using Answer = std::conditional_t<detail::IsOptional<Output>::value, Output, std::optional<Output>>;

  Delegate() = default;
  Delegate(const Delegate&) = delete;
  Delegate& operator=(const Delegate&) = delete;

  // Fills the slot with a closure holding `target` weakly; it calls `block` with (target, input) while the
  // target lives and yields none otherwise. The slot is filled even without a block.
  template <class Target, class F = std::nullptr_t>
  void delegate(const std::shared_ptr<Target>& target, F&& givenBlock = nullptr) {
    std::function<std::optional<Output>(Target&, Input)> block(std::forward<F>(givenBlock));
    std::weak_ptr<Target> weak = target;
    setBlock([weak, block = std::move(block)](Input input) -> std::optional<Output> {
      auto strong = weak.lock();
      if (!strong || !block) return std::nullopt;
      return block(*strong, std::move(input));
    });
  }

  // The same for the asynchronous slot: the block runs on the shared pool, not on the caller's thread.
  template <class Target, class F = std::nullptr_t>
  void delegateAsync(const std::shared_ptr<Target>& target, F&& givenBlock = nullptr) {
    std::function<std::optional<Output>(Target&, Input)> block(std::forward<F>(givenBlock));
    std::weak_ptr<Target> weak = target;
    setAsyncBlock([weak, block = std::move(block)](Input input) {
      auto task = std::make_shared<std::packaged_task<std::optional<Output>()>>(
          [weak, block, input = std::move(input)]() mutable -> std::optional<Output> {
            auto strong = weak.lock();
            if (!strong || !block) return std::nullopt;
            return block(*strong, std::move(input));
          });
      auto future = task->get_future();
      boost::asio::post(foundation::ThreadPool::shared(), [task] { (*task)(); });
      return future;
    });
  }

  Block block() const {
    const auto current = sharedBlock();
    return current ? *current : Block{};
  }
  void setBlock(Block block) {
    auto shared = block ? std::make_shared<const Block>(std::move(block)) : nullptr;
    std::lock_guard lock(mutex_);
    block_ = std::move(shared);
  }
  AsyncBlock asyncBlock() const {
    std::lock_guard lock(mutex_);
    return asyncBlock_;
  }
  void setAsyncBlock(AsyncBlock block) {
    std::lock_guard lock(mutex_);
    asyncBlock_ = std::move(block);
  }

  bool isSet() const {
    std::lock_guard lock(mutex_);
    return block_ != nullptr || static_cast<bool>(asyncBlock_);
  }

  // The slot's answer; none for an empty slot. The block runs on the caller's thread, outside the lock.
  Answer call(Input input) const {
    const auto current = sharedBlock();
    if (!current) return Answer{};
    return flatten((*current)(std::move(input)));
  }
  Answer operator()(Input input) const { return call(std::move(input)); }

  template <class I = Input, class = std::enable_if_t<std::is_same_v<I, std::tuple<>>>>
  Answer call() const {
    return call(std::tuple<>{});
  }
  template <class I = Input, class = std::enable_if_t<std::is_same_v<I, std::tuple<>>>>
  Answer operator()() const {
    return call(std::tuple<>{});
  }

  // The asynchronous slot's answer; a ready none for an empty slot.
  std::future<std::optional<Output>> callAsync(Input input) const {
    auto current = asyncBlock();
    if (!current) {
      std::promise<std::optional<Output>> empty;
      empty.set_value(std::nullopt);
      return empty.get_future();
    }
    return current(std::move(input));
  }

 private:
  static Answer flatten(std::optional<Output> value) {
    if constexpr (detail::IsOptional<Output>::value) {
      return value ? std::move(*value) : Output{};
    } else {
      return value;
    }
  }

  // The block is shared, not copied, with each call: a closure copy costs an allocation per call, and a slot
  // is called for every download. A block being replaced lives on until the calls that took it return.
  std::shared_ptr<const Block> sharedBlock() const {
    std::lock_guard lock(mutex_);
    return block_;
  }

  mutable std::mutex mutex_;
  std::shared_ptr<const Block> block_;
  AsyncBlock asyncBlock_;
};

}  // namespace vellum
