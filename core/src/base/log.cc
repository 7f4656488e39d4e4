#include "mistgrove_core/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace mistgrove_core::log {
namespace {

std::atomic<int> g_level{static_cast<int>(Level::Off)};
std::mutex g_sink_mutex;
Sink g_sink;

const char* level_name(Level level) {
  switch (level) {
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return "WARN";
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
    case Level::Off:
      break;
  }
  return "OFF";
}

}  // namespace

void set_level(Level level) { g_level.store(static_cast<int>(level)); }
Level level() { return static_cast<Level>(g_level.load()); }

void set_sink(Sink sink) {
  std::lock_guard lock(g_sink_mutex);
  g_sink = std::move(sink);
}

bool enabled(Level lvl) {
  return lvl != Level::Off && static_cast<int>(lvl) <= g_level.load(std::memory_order_relaxed);
}

void write(Level lvl, std::string_view target, std::string_view message) {
  std::lock_guard lock(g_sink_mutex);
  if (g_sink) {
    g_sink(lvl, target, message);
  } else {
    std::fprintf(stderr, "[%s %.*s] %.*s\n", level_name(lvl), static_cast<int>(target.size()),
                 target.data(), static_cast<int>(message.size()), message.data());
  }
}

}  // namespace mistgrove_core::log
