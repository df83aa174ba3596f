#include "kovra/log.h"

#include <spdlog/sinks/stdout_color_sinks.h>

namespace kovra {

std::shared_ptr<spdlog::logger> CreateConsoleLogger() {
  return spdlog::stdout_color_mt("console");
}

std::shared_ptr<spdlog::logger> GetLog() {
  static const std::shared_ptr<spdlog::logger> log = [] {
    auto existing = spdlog::get("console");
    if (existing) return existing;
    std::shared_ptr<spdlog::logger> created;
    try {
      created = CreateConsoleLogger();
    } catch (const spdlog::spdlog_ex&) {
      // Another thread registered it between the lookup and the creation.
      return spdlog::get("console");
    }
    created->info("Using default console");
    return created;
  }();
  return log;
}

}  // namespace kovra
