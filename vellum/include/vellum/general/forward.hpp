#pragma once
// Types of the image library that the option record and the error type refer to and that other parts of
// the library define (the cache front, the downloader and its session machinery, sources, retrieval
// results, live photos, hooks). They are held by shared_ptr, so those definitions never change the record or
// the error.
namespace vellum {

class ImageCache;
class ImageDownloader;
class SessionDataTask;
class AsyncImageDownloadRequestModifier;
class ImageDownloadRedirectHandler;
class ImageModifier;
class RetryStrategy;
class Source;
struct ImageProgressive;
struct RetrieveImageResult;
struct RetrieveLivePhotoResult;
struct PropagationError;
struct LivePhotoSource;
struct LivePhotoResource;

}  // namespace vellum
