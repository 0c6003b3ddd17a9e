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

std::recursive_mutex& Container::singletonMutex() {
  static auto* mutex = new std::recursive_mutex();
  return *mutex;
}

std::map<std::string, std::any>& Container::singletons() {
  static auto* store = new std::map<std::string, std::any>();
  return *store;
}

}  // namespace wiring
