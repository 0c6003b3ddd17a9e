#include "wiring/container.hpp"

namespace wiring {
namespace {
thread_local Container* bound = nullptr;
}

Container& Container::shared() {
  if (bound) return *bound;
  static auto* process = new Container();  // outlives every static that may resolve at exit
  return *process;
}

Container::Scope::Scope(Container& container) : previous_(bound) { bound = &container; }
Container::Scope::~Scope() { bound = previous_; }

std::function<void()> Container::propagating(std::function<void()> work) {
  Container* current = &shared();
  return [current, work = std::move(work)] {
    Scope scope(*current);
    work();
  };
}

void Container::reset() {
  std::lock_guard lock(mutex_);
  registrations_.clear();
  cache_.clear();
}

Container::SingletonStore& Container::singletons() {
  static auto* store = new SingletonStore();  // outlives every static that may resolve at exit
  return *store;
}

}  // namespace wiring
