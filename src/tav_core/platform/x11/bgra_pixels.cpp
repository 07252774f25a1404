#include "platform/x11/bgra_pixels.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tav::platform {

namespace {

constexpr uint32_t kOpaque = 0xff000000u;  // alpha 255 in a little-endian B, G, R, A word

// Reads the channel under `mask` of `pixel`, scaled to 8 bits.
uint8_t channel(uint32_t pixel, uint32_t mask) {
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const uint32_t value = (pixel & mask) >> shift;
    if (bits == 8) return static_cast<uint8_t>(value);
    if (bits > 8) return static_cast<uint8_t>(value >> (bits - 8));
    const uint32_t max = (1u << bits) - 1;
    return static_cast<uint8_t>((value * 255 + max / 2) / max);
}

uint32_t read_pixel(const uint8_t* p, int bytes, bool big_endian) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        const int byte = big_endian ? bytes - 1 - i : i;
        v |= static_cast<uint32_t>(p[i]) << (8 * byte);
    }
    return v;
}

// Four pixels at a time, in vector registers where the machine has them (a GCC and Clang vector
// type: plain word code elsewhere); the compiler does not vectorise the word loop at -O2.
void set_alpha(const uint8_t* src, uint8_t* dst, size_t pixels) {
    typedef uint32_t Quad __attribute__((vector_size(16)));
    const Quad opaque = {kOpaque, kOpaque, kOpaque, kOpaque};
    size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        Quad q;
        std::memcpy(&q, src + 4 * i, sizeof q);
        q |= opaque;
        std::memcpy(dst + 4 * i, &q, sizeof q);
    }
    for (; i < pixels; ++i) {
        uint32_t v;
        std::memcpy(&v, src + 4 * i, 4);
        v |= kOpaque;
        std::memcpy(dst + 4 * i, &v, 4);
    }
}

}  // namespace

bool PixelLayout::is_bgrx() const {
    return bits_per_pixel == 32 && !big_endian && std::endian::native == std::endian::little &&
           red_mask == 0xff0000 && green_mask == 0xff00 && blue_mask == 0xff;
}

void check_layout(const PixelLayout& l) {
    const bool size_ok = l.bits_per_pixel == 16 || l.bits_per_pixel == 24 || l.bits_per_pixel == 32;
    if (!size_ok || !l.red_mask || !l.green_mask || !l.blue_mask)
        throw std::runtime_error(
            "unsupported screen pixel layout: " + std::to_string(l.bits_per_pixel) +
            " bits per pixel without colour masks");
}

void to_bgra(const PixelLayout& l, const uint8_t* src, uint8_t* dst, size_t pixels) {
    if (l.is_bgrx()) {
        set_alpha(src, dst, pixels);
        return;
    }
    const int bytes = l.bits_per_pixel / 8;
    for (size_t i = 0; i < pixels; ++i) {
        const uint32_t p = read_pixel(src + bytes * i, bytes, l.big_endian);
        uint8_t* out = dst + 4 * i;
        out[0] = channel(p, l.blue_mask);
        out[1] = channel(p, l.green_mask);
        out[2] = channel(p, l.red_mask);
        out[3] = 255;
    }
}

void fill_black(uint8_t* dst, size_t pixels) {
    static constexpr uint8_t kBlack[4] = {0, 0, 0, 255};
    for (size_t i = 0; i < pixels; ++i) std::memcpy(dst + 4 * i, kBlack, 4);
}

}  // namespace tav::platform
