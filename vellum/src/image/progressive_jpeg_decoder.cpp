// libjpeg's fatal errors long-jump back into Impl::decode; it declares nothing with a destructor, and the
// pictures it renders live in the Impl, only resized.
#include "image/progressive_jpeg_decoder.hpp"

#include <algorithm>

#include "image/jpeg_support.hpp"

namespace vellum {

struct ProgressiveJPEGDecoder::Impl {
  explicit Impl(DecodingLimits limits) : limits(limits) {}
  ~Impl() { release(); }

  void release() {
    if (created) jpeg_destroy_decompress(&info);
    created = false;
  }

  // libjpeg reads from `pending`; when it runs dry the source suspends and the decoder returns, to resume
  // from the same place when more bytes arrive.
  static void initSource(j_decompress_ptr) {}
  static boolean fillInputBuffer(j_decompress_ptr) { return FALSE; }
  static void skipInputData(j_decompress_ptr info, long count) {
    if (count <= 0) return;
    auto* self = reinterpret_cast<Impl*>(info->client_data);
    const auto skip = std::min<std::size_t>(static_cast<std::size_t>(count), info->src->bytes_in_buffer);
    info->src->next_input_byte += skip;
    info->src->bytes_in_buffer -= skip;
    self->skipPending += static_cast<std::size_t>(count) - skip;
  }
  static void termSource(j_decompress_ptr) {}

  // Drops what libjpeg has consumed, keeps the rest and adds `bytes`.
  void take(std::span<const std::uint8_t> bytes) {
    const std::size_t consumed = created && source.next_input_byte
                                     ? static_cast<std::size_t>(source.next_input_byte - pending.data())
                                     : 0;
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(consumed));
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    const std::size_t skip = std::min(skipPending, pending.size());
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(skip));
    skipPending -= skip;
    source.next_input_byte = pending.data();
    source.bytes_in_buffer = pending.size();
  }

  void decode(const std::function<bool()>& wantsPicture, const std::function<void(Bitmap)>& onPicture);

  jpeg_decompress_struct info;
  jpeg::ErrorManager errors;
  jpeg_progress_mgr progress;
  jpeg_source_mgr source;
  DecodingLimits limits;
  foundation::Bytes pending;
  std::size_t skipPending = 0;
  Bitmap picture;
  bool created = false;
  bool headerRead = false;
  bool started = false;
  bool finishingOutput = false;
  int scans = 0;
  State state = State::reading;
};

void ProgressiveJPEGDecoder::Impl::decode(const std::function<bool()>& wantsPicture,
                                          const std::function<void(Bitmap)>& onPicture) {
  if (setjmp(errors.jump)) {
    state = State::failed;
    release();
    return;
  }
  if (!created) {
    jpeg::installErrorManager(reinterpret_cast<j_common_ptr>(&info), errors);
    jpeg_create_decompress(&info);
    created = true;
    info.client_data = this;
    jpeg::installScanLimit(&info, progress);
    source.init_source = initSource;
    source.fill_input_buffer = fillInputBuffer;
    source.skip_input_data = skipInputData;
    source.resync_to_restart = jpeg_resync_to_restart;
    source.term_source = termSource;
    source.next_input_byte = pending.data();
    source.bytes_in_buffer = pending.size();
    info.src = &source;
  }
  if (!headerRead) {
    const int header = jpeg_read_header(&info, TRUE);
    if (header == JPEG_SUSPENDED) return;
    const std::uint64_t pixels = std::uint64_t{info.image_width} * info.image_height;
    if (header != JPEG_HEADER_OK || pixels == 0 || pixels > limits.maxPixels) {
      state = State::failed;
      release();
      return;
    }
    if (!jpeg_has_multiple_scans(&info) || info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
      state = State::notProgressive;
      release();
      return;
    }
    headerRead = true;
    jpeg::limitWorkingMemory(&info, pixels);
    info.buffered_image = TRUE;
    info.out_color_space = JCS_EXT_RGBA;
    // Block smoothing of incomplete scans reads ahead into the next scan while rendering, which may not have
    // arrived; partial images are blurred instead when asked.
    info.do_block_smoothing = FALSE;
  }
  if (!started) {
    if (!jpeg_start_decompress(&info)) return;
    started = true;
  }
  if (finishingOutput) {
    if (!jpeg_finish_output(&info)) return;
    finishingOutput = false;
  }
  for (;;) {
    const int status = jpeg_consume_input(&info);
    if (errors.warned) {
      state = State::failed;
      release();
      return;
    }
    // The scan limit of whole-file decoding is checked while rendering; scans consumed without a picture
    // (a throttled provider) cost a pass over the picture's blocks each and are capped here.
    if (info.input_scan_number > jpeg::kMaxScans) {
      state = State::failed;
      release();
      return;
    }
    if (status == JPEG_SUSPENDED) return;
    if (status == JPEG_REACHED_EOI) {
      state = State::finished;
      release();
      return;
    }
    if (status != JPEG_SCAN_COMPLETED) continue;
    ++scans;
    if (!wantsPicture()) continue;
    // Input stands at the end of this scan, so output needs no more input.
    jpeg_start_output(&info, info.input_scan_number);
    picture.width = info.output_width;
    picture.height = info.output_height;
    picture.pixels.resize(picture.bytesPerRow() * picture.height);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = picture.pixels.data() + picture.bytesPerRow() * info.output_scanline;
      if (jpeg_read_scanlines(&info, &row, 1) != 1) {
        state = State::failed;
        release();
        return;
      }
    }
    // Finishing the output reads on to the next scan's header, which may not be here yet.
    finishingOutput = !jpeg_finish_output(&info);
    if (errors.warned) {
      state = State::failed;
      release();
      return;
    }
    onPicture(std::move(picture));
    picture = Bitmap{};
    if (finishingOutput) return;
  }
}

ProgressiveJPEGDecoder::ProgressiveJPEGDecoder(DecodingLimits limits) : impl_(std::make_unique<Impl>(limits)) {}
ProgressiveJPEGDecoder::~ProgressiveJPEGDecoder() = default;

void ProgressiveJPEGDecoder::append(std::span<const std::uint8_t> bytes, const std::function<bool()>& wantsPicture,
                                    const std::function<void(Bitmap)>& onPicture) {
  if (impl_->state != State::reading) return;
  impl_->take(bytes);
  impl_->decode(wantsPicture, onPicture);
}

ProgressiveJPEGDecoder::State ProgressiveJPEGDecoder::state() const { return impl_->state; }
int ProgressiveJPEGDecoder::completedScans() const { return impl_->scans; }

}  // namespace vellum
