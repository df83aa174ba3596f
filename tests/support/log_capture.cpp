#include "support/log_capture.h"

#include <algorithm>

#include <spdlog/sinks/base_sink.h>

#include "kovra/log.h"

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    // base_sink holds mutex_ here.
    lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<Line> lines_;
};

LogCapture::LogCapture(std::optional<spdlog::level::level_enum> level)
    : logger_(kovra::GetLog()), sink_(std::make_shared<Sink>()), saved_level_(logger_->level()) {
  sink_->set_level(spdlog::level::trace);
  logger_->sinks().push_back(sink_);
  if (level) logger_->set_level(*level);
}

LogCapture::~LogCapture() {
  logger_->set_level(saved_level_);
  auto& sinks = logger_->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

std::vector<LogCapture::Line> LogCapture::Lines() const { return sink_->Lines(); }

int LogCapture::Count(const std::string& text) const {
  int n = 0;
  for (const auto& line : sink_->Lines()) n += line.text == text ? 1 : 0;
  return n;
}

int LogCapture::CountContaining(const std::string& text) const {
  int n = 0;
  for (const auto& line : sink_->Lines()) n += line.text.find(text) != std::string::npos ? 1 : 0;
  return n;
}

void LogCapture::Clear() { sink_->Clear(); }
