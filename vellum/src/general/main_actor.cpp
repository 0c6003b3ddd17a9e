#include "vellum/general/main_actor.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vellum {

void failActorAssumption(std::string_view typeName) {
  const std::string message =
      "Incorrect actor executor assumption; Expected same executor as " + std::string(typeName) + ".\n";
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

void failMainQueueRequirement(std::string_view function) {
  const std::string message =
      std::string(function) +
      " must run on the main queue: post it with foundation::MainQueue::post, or call it from the thread that "
      "drives the queue with foundation::MainQueue::run() or poll().\n";
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace vellum
