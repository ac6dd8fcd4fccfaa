#include "capture_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace ondrel::testing {

std::string captureFd(int fd, const std::function<void()>& body) {
  std::FILE* sink = std::tmpfile();
  if (sink == nullptr) throw std::runtime_error("tmpfile failed");
  const int saved = ::dup(fd);
  ::dup2(::fileno(sink), fd);
  try {
    body();
  } catch (...) {
    ::dup2(saved, fd);
    ::close(saved);
    std::fclose(sink);
    throw;
  }
  ::dup2(saved, fd);
  ::close(saved);
  std::string text;
  ::lseek(::fileno(sink), 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = ::read(::fileno(sink), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, std::size_t(n));
  }
  std::fclose(sink);
  return text;
}

}  // namespace ondrel::testing
