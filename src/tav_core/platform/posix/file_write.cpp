#include "platform/file_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tav::platform {

namespace {

class File {
  public:
    explicit File(int fd) : fd_(fd) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // 0, or the errno of the first failed write.
    int write_all(std::string_view data) {
        while (!data.empty()) {
            ssize_t n = ::write(fd_, data.data(), data.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            data.remove_prefix(static_cast<size_t>(n));
        }
        return 0;
    }
    // 0, or the errno of the close (a delayed write error shows up here).
    int close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

}  // namespace

int write_file(const std::string& path, std::string_view data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    File file(fd);
    struct stat st{};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int err = file.write_all(data);
    int close_err = file.close();
    if (err == 0) err = close_err;
    // A truncated file is worse than none (a viewer would show a broken image). A device or pipe
    // the path names is not ours to remove.
    if (err != 0 && regular) ::unlink(path.c_str());
    return err;
}

}  // namespace tav::platform
