// libFuzzer harness: bytes as a video file (an in-memory file, so the reader's regular-file check passes)
// through the demuxers the video-frame reader accepts and their decoders.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "video_frame_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("video", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) == static_cast<ssize_t>(size)) {
    const std::function<bool()> never = [] { return false; };
    try {
      (void)vellum::readVideoFrame(vellum::URL::fileURL("/proc/self/fd/" + std::to_string(fd)),
                                   vellum::MediaTime::fromSeconds(1.0), true, never);
    } catch (const vellum::VideoFrameError&) {
    }
  }
  ::close(fd);
  return 0;
}
