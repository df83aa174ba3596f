#include "support/stdout_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

std::string CaptureStdout(const std::function<void()>& fn) {
  std::fflush(stdout);
  FILE* tmp = std::tmpfile();
  EXPECT_NE(tmp, nullptr);
  if (tmp == nullptr) {
    fn();
    return "";
  }
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(tmp), STDOUT_FILENO);
  fn();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  std::rewind(tmp);
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, tmp)) > 0;) out.append(buf, n);
  std::fclose(tmp);
  return out;
}

size_t CountOccurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}
