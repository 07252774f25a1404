// Little-endian encoding and decoding of the app protocol's fields.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tav::wire {

static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");
static_assert(sizeof(double) == 8 && sizeof(float) == 4);

// Builds one outgoing message.
class Writer {
  public:
    Writer& code(uint8_t c) { return put(c); }
    Writer& u8(uint8_t v) { return put(v); }
    Writer& u16(uint16_t v) { return put(v); }
    Writer& u32(uint32_t v) { return put(v); }
    Writer& f64(double v) { return put(v); }
    Writer& raw(std::string_view s) {
        out_.append(s);
        return *this;
    }
    const std::string& bytes() const { return out_; }

  private:
    template <typename T>
    Writer& put(T v) {
        char b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        out_.append(b, sizeof(T));
        return *this;
    }
    std::string out_;
};

// Reads fields from a received payload; the caller checks the payload size first.
class Reader {
  public:
    explicit Reader(std::string_view data) : data_(data) {}
    uint8_t u8() { return get<uint8_t>(); }
    uint16_t u16() { return get<uint16_t>(); }
    uint32_t u32() { return get<uint32_t>(); }
    float f32() { return get<float>(); }
    double f64() { return get<double>(); }
    size_t left() const { return data_.size() - pos_; }

  private:
    template <typename T>
    T get() {
        if (left() < sizeof(T)) throw std::out_of_range("payload too short");
        T v;
        std::memcpy(&v, data_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return v;
    }
    std::string_view data_;
    size_t pos_ = 0;
};

// The head of a video packet message: the code, then the packet's size; the packet follows.
struct PacketHeader {
    static constexpr size_t kSize = 5;
    uint8_t code = 0;
    uint32_t size = 0;

    std::string bytes() const { return Writer().code(code).u32(size).bytes(); }
    // From the first kSize bytes of `data`.
    static PacketHeader read(std::string_view data) {
        Reader r(data.substr(0, kSize));
        PacketHeader h;
        h.code = r.u8();
        h.size = r.u32();
        return h;
    }
};

// A bit-rate target (bit/s) that the server sends the encoder worker over its packet channel.
struct BitrateMessage {
    static constexpr size_t kSize = 4;
    uint32_t bps = 0;

    std::string bytes() const { return Writer().u32(bps).bytes(); }
    static BitrateMessage read(std::string_view data) {
        return {Reader(data.substr(0, kSize)).u32()};
    }
};

}  // namespace tav::wire
