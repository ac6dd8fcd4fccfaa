// Captures what a piece of code writes to a file descriptor (standard error, say).
#pragma once

#include <functional>
#include <string>

namespace ondrel::testing {

std::string captureFd(int fd, const std::function<void()>& body);

}  // namespace ondrel::testing
