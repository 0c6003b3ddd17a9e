#include "cache/regular_file.hpp"
#include "general/settle_promise.hpp"
#include "general/guarded_call.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

namespace vellum {

namespace {

// One live-photo load, resource after resource.
struct LivePhotoLoad : std::enable_shared_from_this<LivePhotoLoad> {
  std::shared_ptr<VellumManager> manager;
  std::shared_ptr<ImageCache> cache;
  std::shared_ptr<ImageDownloader> downloader;
  LivePhotoSource source;
  VellumParsedOptionsInfo options;  // delivers on the calling thread of each step
  CallbackQueue callerQueue;
  std::function<bool()> checker;
  VellumManager::LivePhotoCompletion completion;
  std::vector<std::filesystem::path> fileURLs;
  bool allFromDisk = true;

  LivePhotoLoad(LivePhotoSource s) : source(std::move(s)) {}

  void fail(VellumError error) {
    if (completion) {
      callerQueue.deliver(completion, foundation::Result<LivePhotoLoadingInfoResult, VellumError>::failure(std::move(error)));
    }
  }

  void succeed() {
    auto files = fileURLs;
    LivePhotoLoadingInfoResult result{files, allFromDisk ? CacheType::disk : CacheType::none, source, source,
                                      [files] {
                                        std::vector<foundation::Bytes> all;
                                        for (const auto& file : files) all.push_back(readRegularFile(file.native()));
                                        return all;
                                      }};
    if (completion) {
      callerQueue.deliver(completion, foundation::Result<LivePhotoLoadingInfoResult, VellumError>::success(std::move(result)));
    }
  }

  // The file of `index` when it is on disk already.
  std::optional<std::filesystem::path> onDisk(std::size_t index) const {
    const LivePhotoResource& resource = source.resources[index];
    const std::string key = resource.dataSource.cacheKey();
    // The extension the type names, or every one the bytes could have given when it names none.
    std::vector<std::optional<std::string>> candidates;
    if (auto known = resource.referenceFileType.fileExtension({})) {
      candidates.push_back(known);
    } else {
      candidates = {std::nullopt, std::string("heic"), std::string("mov")};
    }
    for (const auto& extension : candidates) {
      if (auto file = cache->cacheFileURLIfOnDisk(key, "", extension)) return file;
    }
    return std::nullopt;
  }

  void step(std::size_t index) {
    // Resources already on disk are taken in this loop, not a call deeper each: a source lists as many as
    // its maker wants.
    for (;; ++index) {
      if (index == source.resources.size()) return succeed();
      // A checker that throws cannot say the load is still wanted.
      bool wanted = true;
      if (checker && !callGuarded("A live photo's checker", [&] { wanted = checker(); })) wanted = false;
      if (!wanted) {
        return fail(VellumError::requestError(
            VellumError::RequestErrorReason::LivePhotoTaskCancelled{std::make_shared<const LivePhotoSource>(source)}));
      }
      auto file = onDisk(index);
      if (!file) break;
      fileURLs.push_back(std::move(*file));
    }
    const LivePhotoResource& resource = source.resources[index];
    allFromDisk = false;
    auto self = shared_from_this();
    auto store = [self, index](const foundation::Bytes& bytes) {
      const LivePhotoResource& resource = self->source.resources[index];
      const std::string key = resource.dataSource.cacheKey();
      const auto extension = resource.referenceFileType.fileExtension(bytes);
      self->cache->storeToDisk(bytes, key, "", extension, self->options.diskCacheExpiration, CallbackQueue::untouch(),
                               [self, index, key, extension](CacheStoreResult stored) {
                                 if (!stored.diskCacheResult) return self->fail(stored.diskCacheResult.error());
                                 self->fileURLs.push_back(self->cache->cachePath(key, "", extension));
                                 self->step(index + 1);
                               });
    };
    if (resource.dataSource.kind() == Source::Kind::network) {
      downloader->downloadLivePhotoResource(
          resource.dataSource.resource()->downloadURL().absoluteString(), options,
          [self, store](const ImageDownloader::LivePhotoResult& result) {
            if (!result) return self->fail(result.error());
            store(result.value().originalData);
          });
      return;
    }
    auto provider = resource.dataSource.provider();
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto receive = [self, store, provider, answered](ImageDataProvider::DataResult data) {
      if (answered->exchange(true)) return;
      if (!data) {
        return self->fail(VellumError::imageSettingError(
            VellumError::ImageSettingErrorReason::DataProviderError{provider, data.error()}));
      }
      store(data.value());
    };
    try {
      provider->data(receive);
    } catch (...) {
      logThrown("A data provider");
      receive(ImageDataProvider::DataResult::failure(std::current_exception()));
    }
  }
};

}  // namespace

void VellumManager::retrieveLivePhoto(const LivePhotoSource& source, const std::optional<VellumOptionsInfo>& options,
                                      LivePhotoProgress progressBlock,
                                      std::function<bool()> referenceTaskIdentifierChecker,
                                      LivePhotoCompletion completion) {
  auto load = std::make_shared<LivePhotoLoad>(source);
  load->manager = shared_from_this();
  load->options = parsedOptions(options);
  load->cache = targetCache(load->options);
  load->downloader = load->options.downloader ? load->options.downloader : downloader_;
  load->callerQueue = load->options.callbackQueue;
  load->options.callbackQueue = CallbackQueue::untouch();
  if (progressBlock) {
    auto effects = load->options.onDataReceived.value_or(std::vector<std::shared_ptr<DataReceivingSideEffect>>{});
    effects.push_back(std::make_shared<ImageLoadingProgressSideEffect>(std::move(progressBlock)));
    load->options.onDataReceived = std::move(effects);
  }
  load->checker = std::move(referenceTaskIdentifierChecker);
  load->completion = std::move(completion);
  load->step(0);
}

std::future<LivePhotoLoadingInfoResult> VellumManager::retrieveLivePhotoAsync(
    const LivePhotoSource& source, const std::optional<VellumOptionsInfo>& options, LivePhotoProgress progressBlock,
    std::function<bool()> checker) {
  auto promise = std::make_shared<std::promise<LivePhotoLoadingInfoResult>>();
  auto future = promise->get_future();
  VellumOptionsInfo items = options.value_or(VellumOptionsInfo{});
  items.push_back(VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch()));
  retrieveLivePhoto(source, items, std::move(progressBlock), std::move(checker),
                    [promise](const foundation::Result<LivePhotoLoadingInfoResult, VellumError>& result) {
                      settlePromise(*promise, foundation::Result<LivePhotoLoadingInfoResult, VellumError>(result));
                    });
  return future;
}

}  // namespace vellum
