// PNG through libpng's low-level reader. Samples are converted, never colour-managed: every
// colour type and bit depth becomes 8-bit RGBA by scaling (16-bit samples to the nearest 8-bit value,
// round(v * 255 / 65535)), whatever gamma or colour chunks the file carries, as other decoders show it.
// libpng's fatal errors long-jump back here; nothing with a destructor lives in the frame a jump crosses
// (the pixels and row pointers are owned by the caller and only resized).
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "image/arriving_rows.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {
namespace {

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t position;
  char message[128];
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* reader = static_cast<Reader*>(png_get_io_ptr(png));
  if (length > reader->size - reader->position) png_error(png, "truncated data");
  std::memcpy(out, reader->data + reader->position, length);
  reader->position += length;
}

void onError(png_structp png, png_const_charp message) {
  auto* reader = static_cast<Reader*>(png_get_error_ptr(png));
  std::snprintf(reader->message, sizeof reader->message, "%s", message ? message : "error");
  png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// Working memory of a row-by-row downscale, owned by the caller for the same reason as the pixels.
struct Downscale {
  std::uint32_t maxLargestSide = 0;  // 0: decode at full size
  std::vector<std::uint8_t> row;     // one source row as libpng writes it, at full width
  std::vector<std::uint64_t> sums;   // one target row: premultiplied red, green, blue, and alpha
  std::vector<std::uint32_t> columns;  // source columns per target column
};

// Averages each target pixel's box of source pixels, weighting colour by alpha so that transparent pixels lend
// no colour. Rows arrive in order, so one target row of sums is enough.
void downscaleRows(png_structp png, png_uint_32 width, png_uint_32 height, Downscale* d, Bitmap* bitmap) {
  const double factor = static_cast<double>(d->maxLargestSide) / std::max(width, height);
  const auto tw = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(width * factor)));
  const auto th = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(height * factor)));
  bitmap->width = tw;
  bitmap->height = th;
  bitmap->pixels.assign(bitmap->bytesPerRow() * th, 0);
  d->row.resize(std::size_t{width} * 4);
  d->sums.assign(std::size_t{tw} * 4, 0);
  d->columns.assign(tw, 0);
  for (png_uint_32 x = 0; x < width; ++x) ++d->columns[std::uint64_t{x} * tw / width];
  std::uint32_t current = 0, rowsInTarget = 0;
  const auto flush = [&] {
    std::uint8_t* out = bitmap->pixels.data() + bitmap->bytesPerRow() * current;
    for (std::uint32_t tx = 0; tx < tw; ++tx) {
      const std::uint64_t* sum = &d->sums[std::size_t{tx} * 4];
      const std::uint64_t count = std::uint64_t{d->columns[tx]} * rowsInTarget;
      if (count == 0) continue;
      for (int c = 0; c < 3; ++c) out[tx * 4 + c] = sum[3] ? static_cast<std::uint8_t>((sum[c] + sum[3] / 2) / sum[3]) : 0;
      out[tx * 4 + 3] = static_cast<std::uint8_t>((sum[3] + count / 2) / count);
    }
    std::fill(d->sums.begin(), d->sums.end(), 0);
    rowsInTarget = 0;
  };
  for (png_uint_32 y = 0; y < height; ++y) {
    png_read_row(png, d->row.data(), nullptr);
    const auto ty = static_cast<std::uint32_t>(std::uint64_t{y} * th / height);
    if (ty != current) {
      flush();
      current = ty;
    }
    ++rowsInTarget;
    for (png_uint_32 x = 0; x < width; ++x) {
      const std::uint8_t* p = &d->row[std::size_t{x} * 4];
      std::uint64_t* sum = &d->sums[(std::uint64_t{x} * tw / width) * 4];
      sum[0] += std::uint64_t{p[0]} * p[3], sum[1] += std::uint64_t{p[1]} * p[3], sum[2] += std::uint64_t{p[2]} * p[3];
      sum[3] += p[3];
    }
  }
  flush();
}

// Adam7 sends seven smaller pictures, each of every so many pixels; the last is every odd row, whole. The
// first six arrive into `staged` as they come (half the picture together), and the picture itself is
// allocated only once the last pass begins, its rows then read straight into place.
// libpng writes every row at the picture's full width, whatever the pass: each goes through `row` first.
void readInterlaced(png_structp png, png_uint_32 width, png_uint_32 height, std::size_t encodedBytes,
                    std::vector<std::uint8_t>* row, std::vector<std::uint8_t>* staged, Bitmap* bitmap) {
  constexpr int kLastPass = 6;
  row->resize(std::size_t{width} * 4);
  std::size_t stagedBytes = 0;
  for (int pass = 0; pass < kLastPass; ++pass) {
    stagedBytes += std::size_t{PNG_PASS_ROWS(height, pass)} * PNG_PASS_COLS(width, pass) * 4;
  }
  for (int pass = 0; pass < kLastPass; ++pass) {
    const std::size_t rows = PNG_PASS_ROWS(height, pass), rowBytes = std::size_t{PNG_PASS_COLS(width, pass)} * 4;
    if (rows == 0 || rowBytes == 0) continue;  // libpng skips an empty pass
    for (std::size_t r = 0; r < rows; ++r) {
      png_read_row(png, row->data(), nullptr);
      std::memcpy(appendArriving(*staged, rowBytes, stagedBytes, encodedBytes), row->data(), rowBytes);
    }
  }
  bitmap->pixels.assign(bitmap->bytesPerRow() * height, 0);
  const std::uint8_t* from = staged->data();
  for (int pass = 0; pass < kLastPass; ++pass) {
    const std::size_t rows = PNG_PASS_ROWS(height, pass), cols = PNG_PASS_COLS(width, pass);
    if (rows == 0 || cols == 0) continue;
    for (std::size_t r = 0; r < rows; ++r) {
      std::uint8_t* out = bitmap->pixels.data() +
                          bitmap->bytesPerRow() * (PNG_PASS_START_ROW(pass) + r * PNG_PASS_ROW_OFFSET(pass));
      for (std::size_t c = 0; c < cols; ++c, from += 4) {
        std::memcpy(out + (PNG_PASS_START_COL(pass) + c * PNG_PASS_COL_OFFSET(pass)) * 4, from, 4);
      }
    }
  }
  staged->clear();
  staged->shrink_to_fit();
  const std::size_t lastRows = PNG_PASS_ROWS(height, kLastPass);
  for (std::size_t r = 0; r < lastRows; ++r) {
    const std::size_t y = PNG_PASS_START_ROW(kLastPass) + r * PNG_PASS_ROW_OFFSET(kLastPass);
    png_read_row(png, bitmap->pixels.data() + bitmap->bytesPerRow() * y, nullptr);
  }
}

bool decodeInto(const DecodingLimits& limits, Downscale* downscale, Bitmap* bitmap, std::vector<std::uint8_t>* staged,
                Reader* reader, std::string* reason) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, reader, onError, onWarning);
  if (!png) {
    *reason = "cannot start decoder";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *reason = reader->message;
    return false;
  }
  png_set_read_fn(png, reader, readFromMemory);
  // Sizes are bounded below (the pixel limits, and the width of a row), not by libpng's own limits, so that a
  // picture refused says why in the library's words.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  // Only the critical chunks and tRNS make the picture; every other chunk is skipped unread. libpng allocates
  // a text, sPLT, eXIf, pCAL or sCAL chunk's whole declared length before reading a byte of it (past its own
  // chunk limit, which it only warns about), so a few bytes declaring 2 GB would ask for 2 GB.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  png_read_info(png, info);

  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const std::uint64_t pixels = std::uint64_t{width} * height;
  // libpng holds two rows at the file's own depth (up to eight bytes a pixel) however small the picture is
  // decoded, so the pixel limit alone would let one row of it cost 800 MB for a thumbnail. No real picture
  // is wider than libpng's own default limit, a million pixels: a row then costs at most 8 MB.
  constexpr png_uint_32 kMaxWidth = 1'000'000;
  if (width == 0 || height == 0 || width > kMaxWidth || pixels > limits.maxPixels) {
    std::snprintf(reader->message, sizeof reader->message, "dimensions out of range");
    png_longjmp(png, 1);
  }
  // Deflate gives at most 1032 bytes for one: a 258-byte match in two bits. Rows, interlaced or not, hold at
  // least a filter byte each (a row per line of the picture at the least) and every pixel's bits, so data
  // too short to hold them even at that ratio cannot be the picture; it is refused before libpng sizes its
  // row buffers from the header (up to eight bytes a pixel of a row, twice over).
  constexpr std::uint64_t kDeflateMaxRatio = 1032;
  const std::uint64_t leastRaw =
      height + (pixels * png_get_bit_depth(png, info) * png_get_channels(png, info) + 7) / 8;
  if (leastRaw > kDeflateMaxRatio * (reader->size - reader->position)) {
    std::snprintf(reader->message, sizeof reader->message, "data ends before the image does");
    png_longjmp(png, 1);
  }
  const int colorType = png_get_color_type(png, info);
  // Palette to RGB, grey below 8 bits to 8 bits, a tRNS colour to an alpha channel.
  png_set_expand(png);
  png_set_scale_16(png);
  if (!(colorType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
  if (!(colorType & PNG_COLOR_MASK_ALPHA) && !png_get_valid(png, info, PNG_INFO_tRNS)) {
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  }
  // Interlaced rows are taken pass by pass (readInterlaced), not spread over the picture by libpng.
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != std::size_t{width} * 4) {
    std::snprintf(reader->message, sizeof reader->message, "unexpected row layout");
    png_longjmp(png, 1);
  }

  // Interlaced rows arrive in passes over the whole image: those are decoded whole, and the caller scales.
  if (downscale->maxLargestSide > 0 && std::max(width, height) > downscale->maxLargestSide &&
      png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
    downscaleRows(png, width, height, downscale, bitmap);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
  }
  bitmap->width = width;
  bitmap->height = height;
  if (png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
    const std::size_t rowBytes = bitmap->bytesPerRow();
    for (png_uint_32 y = 0; y < height; ++y) {
      png_read_row(png, appendArriving(bitmap->pixels, rowBytes, rowBytes * height, reader->size), nullptr);
    }
  } else {
    readInterlaced(png, width, height, reader->size, &downscale->row, staged, bitmap);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace

namespace {

DecodingResult decode(std::span<const std::uint8_t> data, const DecodingLimits& limits, Downscale downscale) {
  if (data.empty()) return DecodingResult::failure({"PNG: empty data"});
  Bitmap bitmap;
  std::vector<std::uint8_t> staged;
  Reader reader{data.data(), data.size(), 0, "error"};
  std::string reason;
  if (!decodeInto(limits, &downscale, &bitmap, &staged, &reader, &reason)) {
    return DecodingResult::failure({"PNG: " + reason});
  }
  return DecodingResult::success(std::move(bitmap));
}

}  // namespace

DecodingResult decodePNG(std::span<const std::uint8_t> data, const DecodingLimits& limits) {
  return decode(data, limits, Downscale{});
}

DecodingResult decodePNGDownscaled(std::span<const std::uint8_t> data, std::uint32_t maxLargestSide,
                                   const DecodingLimits& limits) {
  Downscale downscale;
  downscale.maxLargestSide = std::max<std::uint32_t>(maxLargestSide, 1);
  return decode(data, limits, std::move(downscale));
}

std::optional<foundation::Bytes> encodePNG(const Bitmap& bitmap) {
  if (bitmap.width == 0 || bitmap.height == 0 || bitmap.pixels.size() < bitmap.bytesPerRow() * bitmap.height) {
    return std::nullopt;
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = bitmap.width;
  image.height = bitmap.height;
  image.format = PNG_FORMAT_RGBA;
  // One pass of the encoder into a buffer that cannot be too small (asking libpng for the size first would
  // run the whole compression twice). Left uninitialised: of a large bound only the pages written are touched.
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  png_alloc_size_t written = size;
  if (!png_image_write_to_memory(&image, buffer.get(), &written, 0, bitmap.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return foundation::Bytes(buffer.get(), buffer.get() + written);
}

}  // namespace vellum
