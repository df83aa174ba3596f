#pragma once
#include <memory>

#include <spdlog/spdlog.h>

namespace kovra {

// Creates the program's console logger ("console": colour standard output, thread-safe) and
// registers it. Fails (spdlog_ex) when a logger of that name exists already.
std::shared_ptr<spdlog::logger> CreateConsoleLogger();

// The shared "console" logger, looked up once. When none is registered yet, the console logger
// is created and "Using default console" is logged through it.
std::shared_ptr<spdlog::logger> GetLog();

}  // namespace kovra
