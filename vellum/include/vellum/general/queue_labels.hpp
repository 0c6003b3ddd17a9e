#pragma once
// Labels of the library's serial queues. A queue that only guards a few fields is a mutex here; its label
// stays as the name it is known by in logs and traces.
#include <string_view>

namespace vellum::queue_labels {

inline constexpr std::string_view kPrefix = "com.marrowby.Vellum.";
inline constexpr std::string_view kDiskStorageProperty = "com.marrowby.vellum.DiskStorage.Backend.propertyQueue";
inline constexpr std::string_view kMaybeCachedChecking = "com.marrowby.Vellum.maybeCachedCheckingQueue";
inline constexpr std::string_view kBuilderProperty = "com.marrowby.Vellum.VL.Builder.propertyQueue";
inline constexpr std::string_view kManagerProperty = "com.marrowby.Vellum.VellumManagerPropertyQueue";
inline constexpr std::string_view kDownloadTaskProperty = "com.marrowby.Vellum.DownloadTaskPropertyQueue";
inline constexpr std::string_view kImageDownloaderProperty = "com.marrowby.Vellum.ImageDownloaderPropertyQueue";
inline constexpr std::string_view kPrefetch = "com.marrowby.Vellum.ImagePrefetcher.prefetchQueue";
inline constexpr std::string_view kRetryContextProperty = "com.marrowby.Vellum.RetryContextPropertyQueue";
inline constexpr std::string_view kImageContextProperty = "com.marrowby.Vellum.VLImageContextPropertyQueue";
inline constexpr std::string_view kDelegate = "com.marrowby.Vellum.DelegateQueue";
inline constexpr std::string_view kImageLoadingProgressSideEffectProperty =
    "com.marrowby.Vellum.ImageLoadingProgressSideEffectPropertyQueue";
// Each image cache's disk queue: this prefix and a new upper-case UUID.
inline constexpr std::string_view kImageCacheIOPrefix = "com.marrowby.Vellum.ImageCache.ioQueue.";
// Each animated image view decodes its frames on one queue of this label.
inline constexpr std::string_view kAnimatorPreload = "com.marrowby.Vellum.Animator.preloadQueue";
// Every preload queue targets the one queue of this label.
inline constexpr std::string_view kAnimatorDecoding = "com.marrowby.Vellum.Animator.decodingQueue";
// The default display-link frame source ticks on a queue of this label.
inline constexpr std::string_view kDisplayLinkFrames = "com.marrowby.Vellum.DisplayLink.frames";
// The memory storage's expired-entry sweep runs on a queue of this label.
inline constexpr std::string_view kMemoryStorageClean = "com.marrowby.Vellum.MemoryStorage.cleanQueue";

}  // namespace vellum::queue_labels
