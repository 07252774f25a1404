// Real-time VP9 encoding of raw viewport frames: one packed RGB(A)/BGR(A) frame in, its packets
// out. Everything is built once; a frame only fills, converts and encodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct vpx_codec_ctx;

namespace tav::streaming {

struct EncoderSettings {
    int input_width = 0;
    int input_height = 0;
    std::string input_format;  // "rgb", "bgr", "rgba" or "bgra"
    double output_width = 0;   // the integer part is the stream's size
    double output_height = 0;
    double framerate = 0;     // frames per second
    double bitrate_mbps = 0;  // constant
    bool vflip = false;
};

// The rates the encoder is built for. A session clamps the app's request into them; a worker
// given a rate outside them refuses to start.
inline constexpr double kMinFramerate = 1, kMaxFramerate = 240;  // frames per second
inline constexpr double kMinBitrate = 0.05, kMaxBitrate = 100;   // Mbit/s

// std::invalid_argument unless the settings describe an encoder that can be built.
void check_settings(const EncoderSettings& s);
// The rate part of it: std::invalid_argument for rates outside the ranges above.
void check_rates(double framerate, double bitrate);

class Vp9Encoder {
  public:
    // Receives each packet of a frame in order; returning false stops delivering the frame's rest.
    using PacketSink = std::function<bool(std::string_view packet)>;

    // std::invalid_argument for bad settings, std::runtime_error for a failure of FFmpeg.
    explicit Vp9Encoder(const EncoderSettings& settings);
    ~Vp9Encoder();
    Vp9Encoder(const Vp9Encoder&) = delete;
    Vp9Encoder& operator=(const Vp9Encoder&) = delete;

    // Copies one packed frame (frame_size() bytes, top row first) into the encoder's input. This
    // is the only step that reads the caller's memory, so the caller can guard just this copy.
    void load(const uint8_t* frame);

    // Encodes the loaded frame and hands its packets to `sink`; false when the sink stopped.
    bool encode(const PacketSink& sink);

    // A new target for the frames that follow, in bit/s; the picture size stays.
    void set_bitrate(double bits_per_second);
    double bitrate() const;  // the current target, bit/s

    size_t frame_size() const { return frame_size_; }
    int width() const { return width_; }  // of the stream
    int height() const { return height_; }
    bool filtered() const { return graph_ != nullptr; }  // a scale/flip chain was built

  private:
    struct Deleter {
        void operator()(AVCodecContext* p) const;
        void operator()(AVFilterGraph* p) const;
        void operator()(AVFrame* p) const;
        void operator()(AVPacket* p) const;
        void operator()(SwsContext* p) const;
    };
    template <typename T>
    using Owned = std::unique_ptr<T, Deleter>;

    void build_filters(const EncoderSettings& s);
    void open_codec(const EncoderSettings& s);
    bool send(AVFrame* frame, const PacketSink& sink);

    EncoderSettings settings_;
    vpx_codec_ctx* libvpx_ = nullptr;  // the encoder inside codec_, when it can be reached
    int width_, height_;
    size_t pixel_size_, row_size_, frame_size_;
    int64_t pts_ = 0;
    Owned<AVCodecContext> codec_;
    Owned<AVFilterGraph> graph_;
    AVFilterContext* source_ = nullptr;  // owned by graph_
    AVFilterContext* sink_ = nullptr;
    Owned<SwsContext> convert_;  // only without filters
    Owned<AVFrame> input_, output_;
    Owned<AVPacket> packet_;
};

}  // namespace tav::streaming
