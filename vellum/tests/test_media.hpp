#pragma once
// Media the tests write with real libraries: JPEG data with an EXIF block (libexif) and short MP4 clips
// (libavcodec, libavformat).
#include <libexif/exif-data.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <array>
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

// MPEG-4 part 2 in MP4, 10 frames a second, a keyframe every 7 frames (so a seek lands before the segment
// asked for and must decode forward); the left 16 columns are black.
inline void writeClip(const std::filesystem::path& path, bool quarterTurnClockwise) {
  AVFormatContext* out = nullptr;
  check(avformat_alloc_output_context2(&out, nullptr, "mp4", path.c_str()));
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  check(encoder != nullptr ? 0 : -1);
  AVStream* stream = avformat_new_stream(out, nullptr);
  AVCodecContext* c = avcodec_alloc_context3(encoder);
  c->width = kWidth, c->height = kHeight, c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = {1, kFPS}, c->framerate = {kFPS, 1}, c->gop_size = 7, c->max_b_frames = 0;
  c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_GLOBAL_HEADER;
  c->global_quality = FF_QP2LAMBDA * 2;
  check(avcodec_open2(c, encoder, nullptr));
  avcodec_parameters_from_context(stream->codecpar, c);
  stream->time_base = c->time_base;
  if (quarterTurnClockwise) {
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
  frame->width = kWidth, frame->height = kHeight, frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  const auto drain = [&] {
    while (avcodec_receive_packet(c, packet) == 0) {
      av_packet_rescale_ts(packet, c->time_base, stream->time_base);
      packet->stream_index = stream->index;
      av_interleaved_write_frame(out, packet);
    }
  };
  const int frames = static_cast<int>(kSegments.size()) * kFPS / 2;
  for (int i = 0; i < frames; ++i) {
    av_frame_make_writable(frame);
    const RGB rgb = kSegments[i / (kFPS / 2)];
    // BT.601, limited range.
    const auto y = static_cast<std::uint8_t>(16 + 0.257 * rgb[0] + 0.504 * rgb[1] + 0.098 * rgb[2]);
    const auto u = static_cast<std::uint8_t>(128 - 0.148 * rgb[0] - 0.291 * rgb[1] + 0.439 * rgb[2]);
    const auto v = static_cast<std::uint8_t>(128 + 0.439 * rgb[0] - 0.368 * rgb[1] - 0.071 * rgb[2]);
    for (int row = 0; row < kHeight; ++row) {
      for (int col = 0; col < kWidth; ++col) frame->data[0][row * frame->linesize[0] + col] = col < kBand ? 16 : y;
    }
    for (int row = 0; row < kHeight / 2; ++row) {
      for (int col = 0; col < kWidth / 2; ++col) {
        frame->data[1][row * frame->linesize[1] + col] = col < kBand / 2 ? 128 : u;
        frame->data[2][row * frame->linesize[2] + col] = col < kBand / 2 ? 128 : v;
      }
    }
    frame->pts = i;
    avcodec_send_frame(c, frame);
    drain();
  }
  avcodec_send_frame(c, nullptr);
  drain();
  av_write_trailer(out);
  avio_closep(&out->pb);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  avformat_free_context(out);
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
