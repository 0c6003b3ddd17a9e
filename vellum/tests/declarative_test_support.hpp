#pragma once
// A declarative host whose root is a stack of the rows a test holds: rebuilding reads the rows afresh.
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

}  // namespace vellum::test
