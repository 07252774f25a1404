// Windows: the C runtime's wide-character open, so that any path in UTF-8 is reached and errors
// are errno values as on POSIX; the file is binary and not inherited by child processes.
#include "platform/file_write.hpp"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

namespace tav::platform {

namespace {

// The UTF-8 `path` as Windows spells it; empty when it is no valid UTF-8.
std::wstring wide(const std::string& path) {
    int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, out.data(), n);
    out.pop_back();  // the terminator
    return out;
}

class File {
  public:
    explicit File(int fd) : fd_(fd) {}
    ~File() {
        if (fd_ >= 0) ::_close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // 0, or the errno of the first failed write.
    int write_all(std::string_view data) {
        while (!data.empty()) {
            unsigned chunk = static_cast<unsigned>(std::min<size_t>(data.size(), 1u << 30));
            int n = ::_write(fd_, data.data(), chunk);
            if (n < 0) return errno;
            data.remove_prefix(static_cast<size_t>(n));
        }
        return 0;
    }
    // 0, or the errno of the close.
    int close() {
        int fd = fd_;
        fd_ = -1;
        return ::_close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

}  // namespace

int write_file(const std::string& path, std::string_view data) {
    const std::wstring name = wide(path);
    if (name.empty()) return path.empty() ? ENOENT : EINVAL;
    int fd = ::_wopen(name.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                      _S_IREAD | _S_IWRITE);
    if (fd < 0) return errno;
    File file(fd);
    struct _stat64 st{};
    bool regular = ::_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
    int err = file.write_all(data);
    int close_err = file.close();
    if (err == 0) err = close_err;
    // A truncated file is worse than none; a device the path names is not ours to remove.
    if (err != 0 && regular) ::_wunlink(name.c_str());
    return err;
}

}  // namespace tav::platform
