// Windows: the C runtime's wide-character open, so that any path in UTF-8 is reached and errors
// are errno values as on POSIX; the file is binary and not inherited by child processes.
#include "platform/file_write.hpp"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
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

}  // namespace

int write_file(const std::string& path, std::string_view data) {
    const std::wstring name = wide(path);
    if (name.empty()) return path.empty() ? ENOENT : EINVAL;
    int fd = ::_wopen(name.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                      _S_IREAD | _S_IWRITE);
    if (fd < 0) return errno;
    struct _stat64 st{};
    const bool regular = ::_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
    int err = 0;
    while (!data.empty() && err == 0) {
        int n = ::_write(fd, data.data(),
                         static_cast<unsigned>(std::min<size_t>(data.size(), 1u << 30)));
        if (n < 0)
            err = errno;
        else
            data.remove_prefix(static_cast<size_t>(n));
    }
    // A delayed write error shows at the close.
    if (::_close(fd) != 0 && err == 0) err = errno;
    // A truncated file is worse than none; a device the path names is not ours to remove.
    if (err != 0 && regular) ::_wunlink(name.c_str());
    return err;
}

}  // namespace tav::platform
