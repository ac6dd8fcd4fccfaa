#include "ondrelkit/encode/ffmpeg_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ondrel::ffmpeg {
namespace {

struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void syncFileAndFolder(const std::filesystem::path& file, const char* what) {
  FileDescriptor handle{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (handle.fd < 0 || ::fsync(handle.fd) != 0) {
    throw std::system_error(errno, std::generic_category(), std::string("sync the ") + what);
  }
  std::filesystem::path folder = file.parent_path();
  FileDescriptor dir{
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0 || (::fsync(dir.fd) != 0 && errno != EINVAL)) {
    throw std::system_error(errno, std::generic_category(),
                            std::string("sync the ") + what + "'s folder");
  }
}

}  // namespace ondrel::ffmpeg
