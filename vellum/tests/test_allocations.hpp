#pragma once
// The largest single allocation some work makes, seen through the sanitizers' allocation hooks: the asan and
// tsan presets, which CI runs, have them; a build without a sanitizer has no hook and answers none.
// Allocations by other threads during the work count too, so a test asks about sizes far above theirs.
#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELLUM_TEST_HAS_ALLOCATION_HOOKS 1
// The sanitizers' runtime provides it; g++ ships no header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onAllocate)(const volatile void*, std::size_t),
                                                         void (*onFree)(const volatile void*));
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace vellum::test {

#ifdef VELLUM_TEST_HAS_ALLOCATION_HOOKS
namespace allocation_watch {
inline std::atomic<bool> watching{false};
inline std::atomic<std::size_t> largest{0};
inline void onAllocate(const volatile void*, std::size_t size) {
  if (!watching.load(std::memory_order_relaxed)) return;
  std::size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}
inline void onFree(const volatile void*) {}
}  // namespace allocation_watch
#endif

inline std::optional<std::size_t> largestAllocation(const std::function<void()>& work) {
#ifdef VELLUM_TEST_HAS_ALLOCATION_HOOKS
  // Hooks cannot be removed: one is installed for the process, and counts only while watching.
  static const bool installed =
      __sanitizer_install_malloc_and_free_hooks(&allocation_watch::onAllocate, &allocation_watch::onFree) != 0;
  if (installed) {
    allocation_watch::largest = 0;
    allocation_watch::watching = true;
    work();
    allocation_watch::watching = false;
    return allocation_watch::largest.load();
  }
#endif
  work();
  return std::nullopt;
}

// The bytes the process holds allocated now, as the sanitizers' allocator counts them; none in a build without
// one. Every thread's allocations count: a test compares sizes far above what other threads hold meanwhile.
inline std::optional<std::size_t> allocatedBytes() {
#ifdef VELLUM_TEST_HAS_ALLOCATION_HOOKS
  return __sanitizer_get_current_allocated_bytes();
#else
  return std::nullopt;
#endif
}

}  // namespace vellum::test
