#pragma once
// A declarative host whose root is a stack of the rows a test holds: rebuilding reads the rows afresh. And
// waiting for a host to take in what it was told.
#include <memory>
#include <vector>

#include "main_queue_support.hpp"
#include "vellum/views/declarative_host.hpp"

namespace vellum::test {

// Makes `host` on first use and rebuilds it now, on the main queue.
template <class Row>
void rebuildRows(std::shared_ptr<DeclarativeHost>& host, const std::vector<Row>& rows) {
  onMain([&] {
    if (!host) {
      host = DeclarativeHost::make([&rows] {
        std::vector<AnyView> views;
        for (const auto& row : rows) views.push_back(row.body());
        return AnyView::stack(views);
      });
    }
    host->rebuild();
  });
}

// Runs what the main queue holds, then the rebuild that notices asked for, if it still waits for its frame,
// then what that rebuild queued: the host shows what its rows were told.
inline void settle(const std::shared_ptr<DeclarativeHost>& host) {
  onMain([] {});
  onMain([&] { host->rebuildIfNeeded(); });
  onMain([] {});
}

}  // namespace vellum::test
