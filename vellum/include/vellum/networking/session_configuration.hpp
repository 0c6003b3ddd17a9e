#pragma once
// SessionConfiguration: how a downloader's session moves bytes. Replacing a downloader's configuration
// rebuilds its session; the transfers of the old one end as cancelled.
//
// Example, given std::shared_ptr<vellum::ImageDownloader> downloader:
//   vellum::SessionConfiguration configuration;
//   configuration.httpMaximumConnectionsPerHost = 32;
//   downloader->setSessionConfiguration(configuration);
#include <cstddef>

namespace vellum {

struct SessionConfiguration {
  // Connections kept open to one host at a time; more transfers wait for one of them.
  long httpMaximumConnectionsPerHost = 6;
  // A body longer than this (announced or received) fails the download with a URL error of code
  // `dataLengthExceedsMaximum`, so a hostile or broken server cannot make a download grow without bound.
  // Well above what the image decoders accept, so no image that could be shown is refused here.
  std::size_t maximumBodySize = std::size_t{512} << 20;
};

}  // namespace vellum
