#include "foundation/log.hpp"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace foundation {
namespace {

std::mutex sinkMutex;

void writeStderr(LogLevel, std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

std::shared_ptr<const LogSink>& currentSink() {
  static auto* sink = new std::shared_ptr<const LogSink>(std::make_shared<const LogSink>(writeStderr));
  return *sink;
}

}  // namespace

LogSink setLogSink(LogSink sink) {
  auto next = std::make_shared<const LogSink>(sink ? std::move(sink) : LogSink(writeStderr));
  // Released after the lock: what the sink holds may log as it goes.
  std::shared_ptr<const LogSink> previous;
  std::lock_guard lock(sinkMutex);
  previous = std::exchange(currentSink(), std::move(next));
  return *previous;
}

void log(LogLevel level, std::string_view line) {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard lock(sinkMutex);
    sink = currentSink();
  }
  // Called without the lock: a sink may log or swap the sink. A sink is application code and the library logs
  // from places that must not fail (a failed task's report, destructors): what it throws is dropped, and the
  // line goes to standard error instead.
  try {
    (*sink)(level, line);
  } catch (...) {
    writeStderr(level, line);
  }
}

}  // namespace foundation
