#include "qr/png_file.hpp"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace tav::qr {

namespace {

// libpng's simplified writer: it reports errors by result instead of longjmp, which would skip
// the destructors of this C++ code.
class PngImage {
  public:
    explicit PngImage(int side) {
        image_.version = PNG_IMAGE_VERSION;
        image_.width = static_cast<png_uint_32>(side);
        image_.height = static_cast<png_uint_32>(side);
        image_.format = PNG_FORMAT_GRAY;
    }
    ~PngImage() { ::png_image_free(&image_); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;

    png_image* get() { return &image_; }
    [[noreturn]] void fail() const {
        throw std::runtime_error(std::string("PNG encoding failed: ") + image_.message);
    }

  private:
    png_image image_{};
};

std::string encode(const RawImage& image) {
    int side = image.pixel_size();
    const void* pixels = image.pixels().data();
    // libpng compresses once to measure and once to write: cheap at QR sizes, and no buffer
    // larger than the file is ever allocated.
    png_alloc_size_t size = 0;
    {
        PngImage png(side);
        if (!png_image_write_get_memory_size(*png.get(), size, 0, pixels, side, nullptr))
            png.fail();
    }
    std::string data(size, '\0');
    PngImage png(side);
    if (!::png_image_write_to_memory(png.get(), data.data(), &size, 0, pixels, side, nullptr))
        png.fail();
    data.resize(size);
    return data;
}

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

void write_png(const std::string& path, const RawImage& image) {
    std::string data = encode(image);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
    File file(fd);
    struct stat st{};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int err = file.write_all(data);
    int close_err = file.close();
    if (err == 0) err = close_err;
    if (err != 0) {
        // A truncated PNG is worse than none: a viewer would show a broken image. A device or
        // pipe the path names is not ours to remove.
        if (regular) ::unlink(path.c_str());
        throw std::system_error(err, std::generic_category(), path);
    }
}

}  // namespace tav::qr
