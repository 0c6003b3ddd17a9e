#pragma once
// Reading a data provider in a test: its one answer, or a failure when none comes before the deadline.
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>

#include "vellum/sources/image_data_provider.hpp"

namespace vellum::test {

inline ImageDataProvider::DataResult readProvider(const ImageDataProvider& provider,
                                                  std::chrono::seconds deadline = std::chrono::seconds(20)) {
  auto promise = std::make_shared<std::promise<ImageDataProvider::DataResult>>();
  provider.data([promise](ImageDataProvider::DataResult r) { promise->set_value(std::move(r)); });
  auto future = promise->get_future();
  if (future.wait_for(deadline) != std::future_status::ready) throw std::runtime_error("the provider did not answer");
  return future.get();
}

}  // namespace vellum::test
