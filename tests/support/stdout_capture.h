#pragma once
#include <functional>
#include <string>

// Runs fn with standard output (the file descriptor) sent to a temporary file; returns what was
// written. For output that no logger sink can catch, such as a logger's own first line.
std::string CaptureStdout(const std::function<void()>& fn);

// How often what occurs in text.
size_t CountOccurrences(const std::string& text, const std::string& what);
