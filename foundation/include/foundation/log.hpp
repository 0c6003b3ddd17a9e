#pragma once
// The process-wide log sink. Libraries write whole lines through it; applications and tests may replace the
// sink (the default writes each line to standard error). log() never throws: a line that the sink fails on
// (throws) goes to standard error instead.
#include <functional>
#include <string_view>

namespace foundation {

enum class LogLevel { debug, info, error };

using LogSink = std::function<void(LogLevel, std::string_view line)>;

// Installs `sink` (an empty function restores the default) and returns the previous one.
LogSink setLogSink(LogSink sink);
void log(LogLevel level, std::string_view line);

}  // namespace foundation
