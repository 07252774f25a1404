#include "qr/png_file.hpp"

#include <png.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_write.hpp"

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

}  // namespace

void write_png(const std::string& path, const RawImage& image) {
    std::string data = encode(image);
    if (int err = platform::write_file(path, data))
        throw std::system_error(err, std::generic_category(), path);
}

}  // namespace tav::qr
