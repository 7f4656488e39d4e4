// A small logging facade: levels, one target per module, one settable sink.
// The level is Off by default, so the library writes nothing unless a
// program turns logging on.
#pragma once

#include <fmt/format.h>

#include <functional>
#include <string>
#include <string_view>

namespace mistgrove_core::log {

enum class Level { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Sink = std::function<void(Level, std::string_view target, std::string_view message)>;

void set_level(Level level);
Level level();
// Replaces the sink (default: standard error). Not meant to race with logging.
void set_sink(Sink sink);

bool enabled(Level level);
void write(Level level, std::string_view target, std::string_view message);

template <typename... Args>
void record(Level lvl, std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  if (enabled(lvl)) write(lvl, target, fmt::format(f, std::forward<Args>(args)...));
}

template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  record(Level::Info, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  record(Level::Warn, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  record(Level::Debug, target, f, std::forward<Args>(args)...);
}

}  // namespace mistgrove_core::log
