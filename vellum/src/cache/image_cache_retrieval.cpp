// ImageCache: finding an image by key, in memory and on disk.
#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
#include "general/guarded_call.hpp"
#include "vellum/cache/image_cache.hpp"

namespace vellum {
namespace {

using Cache = VellumError::CacheErrorReason;

// Runs `block` through `queue`; `untouch` means at once, so the block is called as it is, without first being
// wrapped into a queued function (a memory hit costs no allocation that way).
template <class Block>
void deliver(const CallbackQueue& queue, Block&& block) {
  if (queue.kind() == CallbackQueue::Kind::untouch) {
    block();
  } else {
    queue.execute(std::forward<Block>(block));
  }
}

// The request that owns the options is no longer wanted. A checker that throws cannot say it is wanted.
bool isStale(const VellumParsedOptionsInfo& options) {
  if (!options.sourceTaskIdentifierChecker) return false;
  bool wanted = false;
  callGuarded("A source task checker", [&] { wanted = options.sourceTaskIdentifierChecker(); });
  return !wanted;
}

// Reads the stored bytes for a computed key and reports what came of it; `found(bytes, reply)` turns the
// bytes into the outcome and hands it to `reply`, now or later from another thread. Runs on the loading queue;
// every report goes through `callbackQueue`.
template <class Outcome, class Found>
void lookUpOnDisk(DiskStorage::Backend& disk, const std::string& computed, const VellumParsedOptionsInfo& options,
                  const CallbackQueue& callbackQueue,
                  const std::function<void(foundation::Result<Outcome, VellumError>)>& handler, Found&& found) {
  using R = foundation::Result<Outcome, VellumError>;
  if (!handler) return;  // nobody would learn the outcome
  auto report = [&](R result) { callbackQueue.deliver(handler, std::move(result)); };
  if (isStale(options)) return report(R::success(Outcome::stale()));
  std::optional<foundation::Bytes> bytes;
  try {
    bytes = disk.value(computed, options.forcedExtension, options.diskCacheAccessExtendingExpiration);
  } catch (const VellumError& error) {
    return report(R::failure(error));
  } catch (...) {  // a file manager of the application's may throw anything
    const std::exception_ptr thrown = std::current_exception();
    // What failed may have been naming the file (a system that cannot hash its key): the directory is then
    // all the error can say where the look-up went, and the caller still hears of it.
    std::string url = "file://" + disk.directoryURL().string();
    try {
      url = "file://" + disk.cacheFileURL(computed, options.forcedExtension).string();
    } catch (...) {
    }
    return report(R::failure(VellumError::cacheError(Cache::CannotLoadDataFromDisk{std::move(url), thrown})));
  }
  if (!bytes) return report(R::success(Outcome::notFound()));
  if (isStale(options)) return report(R::success(Outcome::stale()));
  found(std::move(*bytes), [callbackQueue, handler](R result) { callbackQueue.deliver(handler, std::move(result)); });
}

}  // namespace

void ImageCache::onLoadingQueue(const VellumParsedOptionsInfo& options, std::function<void()> work) {
  if (options.loadDiskFileSynchronously) {
    work();
  } else {
    ioQueue_->post(std::move(work));
  }
}

ImagePtr ImageCache::retrieveImageInMemoryCache(const std::string& key, const VellumParsedOptionsInfo& options) {
  // Most look-ups have no processor identifier: they use the key as it is, without building a new one.
  std::string identifier;
  if (identify(options, identifier)) return nullptr;  // a processor that names no entry finds none
  const auto& extending = options.memoryCacheAccessExtendingExpiration;
  auto hit = identifier.empty() ? memoryStorage_->value(key, extending)
                                : memoryStorage_->value(computedKey(key, identifier), extending);
  return hit ? std::move(*hit) : nullptr;
}

ImagePtr ImageCache::retrieveImageInMemoryCache(const std::string& key,
                                                const std::optional<VellumOptionsInfo>& options) {
  return retrieveImageInMemoryCache(key, VellumParsedOptionsInfo(options));
}

void ImageCache::retrieveImage(const std::string& key, const VellumParsedOptionsInfo& options,
                               CallbackQueue callbackQueue, RetrieveHandler completionHandler) {
  using R = foundation::Result<ImageCacheResult, VellumError>;
  // Without a handler nobody learns the answer: looking would only extend entries for nothing.
  if (!completionHandler) return;
  std::string identifier;
  if (auto error = identify(options, identifier)) return callbackQueue.deliver(completionHandler, R::failure(std::move(*error)));
  // Read before the memory look-up: a removal after it must keep a disk hit from coming back into memory.
  const std::uint64_t removalsBefore = memoryStorage_->removalCount();
  if (auto image = retrieveImageInMemoryCache(key, options)) {
    deliver(callbackQueue, [handler = std::move(completionHandler), image = std::move(image)]() mutable {
      handler(R::success(ImageCacheResult::memory(std::move(image))));
    });
    return;
  }
  if (options.fromMemoryCacheOrRefresh) {
    callbackQueue.execute([handler = std::move(completionHandler)] { handler(R::success(ImageCacheResult::none())); });
    return;
  }
  retrieveImageInDiskCache(
      key, options, callbackQueue,
      DiskOutcomeHandler([self = shared_from_this(), key, options, callbackQueue, removalsBefore,
                          handler = std::move(completionHandler)](foundation::Result<DiskRetrievalOutcome, VellumError> outcome) {
        if (!outcome) {
          callbackQueue.deliver(handler, R::failure(std::move(outcome.error())));
          return;
        }
        if (outcome.value().kind() != DiskRetrievalOutcome::Kind::found) {
          callbackQueue.execute([handler] { handler(R::success(ImageCacheResult::none())); });
          return;
        }
        // Back into memory first, so the image is there when the caller hears of it.
        const ImagePtr image = outcome.value().value();
        // The disk held this image when memory missed; decoding it took a while. Memory holding the key now
        // means a store since (a newer picture, or the same one another look-up put back), and a removal
        // since means the caller wants it gone: putting it back would undo either. The storage checks both
        // in the step that stores, so a removal that comes while this runs is never undone either.
        std::string named;
        if (!identify(options, named)) {
          self->memoryStorage_->storeIfUnchangedSince(removalsBefore, image, computedKey(key, named),
                                                      options.memoryCacheExpiration);
        }
        callbackQueue.deliver(handler, R::success(ImageCacheResult::disk(image)));
      }));
}

void ImageCache::retrieveImage(const std::string& key, const std::optional<VellumOptionsInfo>& options,
                               CallbackQueue callbackQueue, RetrieveHandler completionHandler) {
  retrieveImage(key, VellumParsedOptionsInfo(options), std::move(callbackQueue), std::move(completionHandler));
}

void ImageCache::retrieveImageInDiskCache(const std::string& key, const VellumParsedOptionsInfo& options,
                                          CallbackQueue callbackQueue, DiskOutcomeHandler outcomeHandler) {
  // The read keeps its place among the cache's other disk work; the decode needs no order and would hold up
  // the queue (a grid of pictures read from disk decodes one at a time there), so it runs on the shared pool,
  // several files at once. A synchronous load decodes where it reads.
  const bool decodeApart = !options.loadDiskFileSynchronously;
  std::string identifier;
  if (auto error = identify(options, identifier)) {
    if (outcomeHandler) callbackQueue.deliver(outcomeHandler, foundation::Result<DiskRetrievalOutcome, VellumError>::failure(std::move(*error)));
    return;
  }
  auto work = [self = shared_from_this(), computed = computedKey(key, identifier),
               options = std::make_shared<const VellumParsedOptionsInfo>(options), callbackQueue,
               handler = std::move(outcomeHandler), decodeApart] {
    using R = foundation::Result<DiskRetrievalOutcome, VellumError>;
    lookUpOnDisk<DiskRetrievalOutcome>(*self->diskStorage_, computed, *options, callbackQueue, handler,
                                       [&](foundation::Bytes bytes, auto reply) {
      auto decode = [options, bytes = std::move(bytes), reply = std::move(reply)] {
        ImagePtr image;
        callGuarded("A cache serializer", [&] { image = serializer(*options)->image(bytes, *options); });
        if (image && isStale(*options)) return reply(R::success(DiskRetrievalOutcome::stale()));
        // Bytes that do not decode are as good as nothing stored; the file stays for whoever can read it.
        if (!image) return reply(R::success(DiskRetrievalOutcome::notFound()));
        if (options->backgroundDecode) image = decoded(image, options->scaleFactor);
        reply(R::success(DiskRetrievalOutcome::found(std::move(image))));
      };
      if (decodeApart) return boost::asio::post(foundation::ThreadPool::shared(), std::move(decode));
      decode();
    });
  };
  onLoadingQueue(options, std::move(work));
}

void ImageCache::retrieveImageInDiskCache(const std::string& key, const VellumParsedOptionsInfo& options,
                                          CallbackQueue callbackQueue, DiskImageHandler completionHandler) {
  using R = foundation::Result<ImagePtr, VellumError>;
  retrieveImageInDiskCache(
      key, options, std::move(callbackQueue),
      DiskOutcomeHandler([handler = std::move(completionHandler)](foundation::Result<DiskRetrievalOutcome, VellumError> outcome) {
        if (!handler) return;
        if (!outcome) return handler(R::failure(outcome.error()));
        handler(R::success(outcome.value().kind() == DiskRetrievalOutcome::Kind::found ? outcome.value().value()
                                                                                        : nullptr));
      }));
}

void ImageCache::retrieveDataInDiskCache(const std::string& key, const VellumParsedOptionsInfo& options,
                                         CallbackQueue callbackQueue, DiskDataOutcomeHandler outcomeHandler) {
  std::string identifier;
  if (auto error = identify(options, identifier)) {
    if (outcomeHandler) callbackQueue.deliver(outcomeHandler, foundation::Result<DiskDataRetrievalOutcome, VellumError>::failure(std::move(*error)));
    return;
  }
  auto work = [self = shared_from_this(), computed = computedKey(key, identifier), options,
               callbackQueue, handler = std::move(outcomeHandler)] {
    using R = foundation::Result<DiskDataRetrievalOutcome, VellumError>;
    lookUpOnDisk<DiskDataRetrievalOutcome>(*self->diskStorage_, computed, options, callbackQueue, handler,
                                           [](foundation::Bytes bytes, auto reply) {
      reply(R::success(DiskDataRetrievalOutcome::found(std::move(bytes))));
    });
  };
  onLoadingQueue(options, std::move(work));
}

void ImageCache::retrieveImageInDiskCache(const std::string& key, const std::optional<VellumOptionsInfo>& options,
                                          CallbackQueue callbackQueue, DiskImageHandler completionHandler) {
  // A direct call, not through the virtual: an override of the parsed form does not change this one.
  ImageCache::retrieveImageInDiskCache(key, VellumParsedOptionsInfo(options), std::move(callbackQueue),
                                       std::move(completionHandler));
}

}  // namespace vellum
