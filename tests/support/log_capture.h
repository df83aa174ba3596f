#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

// Records the lines written to the shared "console" logger (kovra::GetLog()) while it lives:
// attaches a sink on construction and removes it, and restores the logger's level, on
// destruction. Attach it before starting threads that log: spdlog's sink list itself is not
// guarded against changes while logging.
class LogCapture {
 public:
  struct Line {
    spdlog::level::level_enum level;
    std::string text;  // the message only, without time stamp or level
  };

  // With a level, the logger is set to it for the capture's life.
  explicit LogCapture(std::optional<spdlog::level::level_enum> level = std::nullopt);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const;
  // Number of lines whose message equals text exactly / contains text.
  int Count(const std::string& text) const;
  int CountContaining(const std::string& text) const;
  bool Has(const std::string& text) const { return Count(text) > 0; }
  void Clear();

  class Sink;

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<Sink> sink_;
  spdlog::level::level_enum saved_level_;
};
