#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "vellum needs C++20: compile with -std=c++20 or later"
#endif
// vellum: images. Decoding and encoding (PNG, JPEG, animated GIF), a memory and disk image cache, a
// downloader, the manager that turns a source into a processed, cached image, processors, the sources images
// come from, and headless views with their `vl(view)` operations.
//
// Example (on the main queue), given const foundation::Bytes& pngBytes, std::shared_ptr<vellum::ImageView> imageView,
//                                   const vellum::URL& url:
//   #include <vellum/vellum.hpp>
//   vellum::ImagePtr image = vellum::imageFromData(pngBytes);        // decoded RGBA pixels, or null
//   auto cache = vellum::ImageCache::make("avatars");
//   cache->store(image, pngBytes, "avatar-42", vellum::VellumParsedOptionsInfo{});   // memory, then disk
//   vellum::vl(imageView).setImage(vellum::convertToSource(url));     // load, process, cache, show
//
// Views and their `vl(view)` operations run on the main queue (foundation/main_queue.hpp). Link
// vellum::vellum (CMake) or `pkg-config --libs vellum`.

// What every part shares: options, errors, keys, geometry, callback queues, `vl(...)`.
#include "vellum/general/associated_objects.hpp"
#include "vellum/general/box.hpp"
#include "vellum/general/cache_key.hpp"
#include "vellum/general/callback_queue.hpp"
#include "vellum/general/cancellation_token.hpp"
#include "vellum/general/delegate.hpp"
#include "vellum/general/display_link.hpp"
#include "vellum/general/forward.hpp"
#include "vellum/general/geometry.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/general/main_actor.hpp"
#include "vellum/general/options.hpp"
#include "vellum/general/queue_labels.hpp"
#include "vellum/general/size_helpers.hpp"
#include "vellum/general/vellum_error.hpp"
#include "vellum/general/vellum_wrapper.hpp"

// Images, codecs, formats and processors.
#include "vellum/image/color.hpp"
#include "vellum/image/image.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/image/image_processor.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/image/image_progressive.hpp"
#include "vellum/image/image_progressive_provider.hpp"

// Memory and disk storage and the ImageCache front.
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/cache/coarse_clock.hpp"
#include "vellum/cache/disk_storage.hpp"
#include "vellum/cache/file_manager.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/cache/memory_storage.hpp"
#include "vellum/cache/storage_expiration.hpp"

// The downloader and its session, retries and network monitor.
#include "vellum/networking/download_task.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/networking/network_metrics.hpp"
#include "vellum/networking/network_monitor.hpp"
#include "vellum/networking/request_modifier.hpp"
#include "vellum/networking/retry_strategy.hpp"
#include "vellum/networking/session_configuration.hpp"
#include "vellum/networking/session_data_task.hpp"
#include "vellum/networking/session_delegate.hpp"
#include "vellum/networking/transfer_store_ledger.hpp"

// VellumManager and the prefetcher.
#include "vellum/retrieval/image_prefetcher.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

// Where images come from: URLs, files, bytes, base64 text, thumbnails, video frames, pickers.
#include "vellum/sources/asset_image_generator.hpp"
#include "vellum/sources/av_asset_image_data_provider.hpp"
#include "vellum/sources/base64_image_data_provider.hpp"
#include "vellum/sources/image_data_provider.hpp"
#include "vellum/sources/live_photo_source.hpp"
#include "vellum/sources/local_file_image_data_provider.hpp"
#include "vellum/sources/photo_picker.hpp"
#include "vellum/sources/picker_image_data_providers.hpp"
#include "vellum/sources/raw_image_data_provider.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"
#include "vellum/sources/url.hpp"

// Headless views, their `vl(view)` operations, the declarative host and animated images.
#include "vellum/views/activity_indicator.hpp"
#include "vellum/views/animated_image_view.hpp"
#include "vellum/views/animator.hpp"
#include "vellum/views/button.hpp"
#include "vellum/views/button_extension.hpp"
#include "vellum/views/declarative_host.hpp"
#include "vellum/views/guarded_call.hpp"
#include "vellum/views/image_binder.hpp"
#include "vellum/views/image_holder_extension.hpp"
#include "vellum/views/image_holders.hpp"
#include "vellum/views/image_indicator.hpp"
#include "vellum/views/image_setting.hpp"
#include "vellum/views/image_transition.hpp"
#include "vellum/views/image_view.hpp"
#include "vellum/views/image_view_extension.hpp"
#include "vellum/views/indicator.hpp"
#include "vellum/views/live_photo.hpp"
#include "vellum/views/live_photo_view.hpp"
#include "vellum/views/live_photo_view_extension.hpp"
#include "vellum/views/placeholder.hpp"
#include "vellum/views/progress_indicator.hpp"
#include "vellum/views/text_attachment.hpp"
#include "vellum/views/text_attachment_extension.hpp"
#include "vellum/views/view.hpp"
#include "vellum/views/vl_animated_image.hpp"
#include "vellum/views/vl_builder.hpp"
#include "vellum/views/vl_image.hpp"
#include "vellum/views/vl_image_context.hpp"
#include "vellum/views/vl_option_setter.hpp"
