#pragma once
// Media the tests write with real libraries: JPEG data with an EXIF block (libexif) and short MP4 clips
// (libavcodec, libavformat).
#include <libexif/exif-data.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <string>

#include "foundation/bytes.hpp"
#include "test_images.hpp"

namespace vellum::test {

using RGB = std::array<int, 3>;

// Each of red, green and blue within `tolerance` of the expected value (lossy codecs in between).
inline void expectColourNear(const Bitmap& b, std::uint32_t x, std::uint32_t y, RGB rgb, int tolerance,
                             const std::string& what) {
  const auto p = pixel(b, x, y);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], rgb[c], tolerance) << what << " channel " << c << " at " << x << "," << y;
}

inline void check(int status) {
  if (status < 0) throw std::runtime_error("writing the test clip failed");
}

// One colour per half second.
inline const std::vector<RGB> kSegments = {{220, 40, 40}, {40, 200, 40}, {40, 40, 220}, {220, 220, 40}, {220, 40, 220}, {40, 220, 220}};
// The clips: 64 x 48, 10 frames a second, a black band 16 columns wide on the left.
inline constexpr int kWidth = 64, kHeight = 48, kFPS = 10, kBand = 16;

// What a test clip holds and how it is written. By default: MPEG-4 part 2 in MP4, the colours of kSegments,
// 10 frames a second, a keyframe every 7 frames (so a seek lands before the segment asked for and must decode
// forward), the left 16 columns black.
struct Clip {
  const char* muxer = "mp4";
  const char* encoder = "mpeg4";
  int width = kWidth, height = kHeight, fps = kFPS, gop = 7, bFrames = 0;
  int band = kBand;
  std::vector<RGB> colours = kSegments;
  double secondsPerColour = 0.5;
  bool quarterTurnClockwise = false;
};

inline void writeClip(const std::filesystem::path& path, const Clip& clip) {
  AVFormatContext* out = nullptr;
  check(avformat_alloc_output_context2(&out, nullptr, clip.muxer, path.c_str()));
  const AVCodec* encoder = avcodec_find_encoder_by_name(clip.encoder);
  check(encoder != nullptr ? 0 : -1);
  AVStream* stream = avformat_new_stream(out, nullptr);
  AVCodecContext* c = avcodec_alloc_context3(encoder);
  c->width = clip.width, c->height = clip.height, c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = {1, clip.fps}, c->framerate = {clip.fps, 1}, c->gop_size = clip.gop, c->max_b_frames = clip.bFrames;
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = FF_QP2LAMBDA * 2;
  // Encoders that ignore a fixed quantiser get a rate far above what flat colours need.
  c->bit_rate = 1'000'000;
  if (out->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "crf", "10", 0);
  check(avcodec_open2(c, encoder, &options));
  av_dict_free(&options);
  avcodec_parameters_from_context(stream->codecpar, c);
  stream->time_base = c->time_base;
  if (clip.quarterTurnClockwise) {
    // The track header's matrix (a b u / c d v / x y w, 16.16 and 2.30 fixed point) maps a stored point to
    // (a x + c y, b x + d y): with b = 1, c = -1 the stored top-left corner lands top-right, a quarter turn
    // clockwise.
    auto* matrix = reinterpret_cast<std::int32_t*>(av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 36));
    const std::int32_t quarterTurn[9] = {0, 1 << 16, 0, -(1 << 16), 0, 0, 0, 0, 1 << 30};
    std::copy(std::begin(quarterTurn), std::end(quarterTurn), matrix);
  }
  check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE));
  check(avformat_write_header(out, nullptr));
  AVFrame* frame = av_frame_alloc();
  frame->width = clip.width, frame->height = clip.height, frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  const auto drain = [&] {
    while (avcodec_receive_packet(c, packet) == 0) {
      av_packet_rescale_ts(packet, c->time_base, stream->time_base);
      packet->stream_index = stream->index;
      check(av_interleaved_write_frame(out, packet));
    }
  };
  const double framesPerColour = clip.secondsPerColour * clip.fps;
  const int frames = static_cast<int>(std::lround(static_cast<double>(clip.colours.size()) * framesPerColour));
  for (int i = 0; i < frames; ++i) {
    check(av_frame_make_writable(frame));
    const RGB rgb = clip.colours[static_cast<std::size_t>(i / framesPerColour)];
    // BT.601, limited range.
    const auto y = static_cast<std::uint8_t>(16 + 0.257 * rgb[0] + 0.504 * rgb[1] + 0.098 * rgb[2]);
    const auto u = static_cast<std::uint8_t>(128 - 0.148 * rgb[0] - 0.291 * rgb[1] + 0.439 * rgb[2]);
    const auto v = static_cast<std::uint8_t>(128 + 0.439 * rgb[0] - 0.368 * rgb[1] - 0.071 * rgb[2]);
    for (int row = 0; row < clip.height; ++row) {
      for (int col = 0; col < clip.width; ++col) frame->data[0][row * frame->linesize[0] + col] = col < clip.band ? 16 : y;
    }
    for (int row = 0; row < clip.height / 2; ++row) {
      for (int col = 0; col < clip.width / 2; ++col) {
        frame->data[1][row * frame->linesize[1] + col] = col < clip.band / 2 ? 128 : u;
        frame->data[2][row * frame->linesize[2] + col] = col < clip.band / 2 ? 128 : v;
      }
    }
    frame->pts = i;
    check(avcodec_send_frame(c, frame));
    drain();
  }
  check(avcodec_send_frame(c, nullptr));
  drain();
  check(av_write_trailer(out));
  avio_closep(&out->pb);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  avformat_free_context(out);
}

// The default clip, turned a quarter clockwise by its display matrix when asked.
inline void writeClip(const std::filesystem::path& path, bool quarterTurnClockwise) {
  Clip clip;
  clip.quarterTurnClockwise = quarterTurnClockwise;
  writeClip(path, clip);
}

// JPEG data with an APP1 EXIF block holding the orientation and, when given, an embedded thumbnail.
inline foundation::Bytes withExif(const foundation::Bytes& jpeg, int orientation, const std::optional<foundation::Bytes>& thumbnail = std::nullopt) {
  ExifData* exif = exif_data_new();
  exif_data_set_byte_order(exif, EXIF_BYTE_ORDER_INTEL);
  ExifEntry* entry = exif_entry_new();
  exif_content_add_entry(exif->ifd[EXIF_IFD_0], entry);
  exif_entry_initialize(entry, EXIF_TAG_ORIENTATION);
  exif_set_short(entry->data, EXIF_BYTE_ORDER_INTEL, static_cast<ExifShort>(orientation));
  exif_entry_unref(entry);
  if (thumbnail) {
    exif->data = static_cast<unsigned char*>(std::malloc(thumbnail->size()));
    std::memcpy(exif->data, thumbnail->data(), thumbnail->size());
    exif->size = static_cast<unsigned int>(thumbnail->size());
  }
  unsigned char* block = nullptr;
  unsigned int size = 0;
  exif_data_save_data(exif, &block, &size);
  exif_data_unref(exif);
  // SOI, then the APP1 segment, then the rest of the file.
  const std::size_t length = size + 2;
  foundation::Bytes out = {jpeg.at(0), jpeg.at(1), 0xFF, 0xE1, static_cast<std::uint8_t>(length >> 8),
                           static_cast<std::uint8_t>(length)};
  out.reserve(out.size() + size + jpeg.size());
  for (unsigned int i = 0; i < size; ++i) out.push_back(block[i]);
  for (std::size_t i = 2; i < jpeg.size(); ++i) out.push_back(jpeg[i]);
  std::free(block);
  return out;
}

}  // namespace vellum::test
