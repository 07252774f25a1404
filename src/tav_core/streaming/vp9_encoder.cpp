#include "streaming/vp9_encoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
#include <vpx/vp8cx.h>
#include <vpx/vpx_encoder.h>
}

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "streaming/pixel_formats.hpp"

namespace tav::streaming {

namespace {

// FFmpeg's name for each of the pixel formats, in their order.
constexpr AVPixelFormat kAvFormats[] = {AV_PIX_FMT_RGB24, AV_PIX_FMT_BGR24, AV_PIX_FMT_RGBA,
                                        AV_PIX_FMT_BGRA};
static_assert(std::size(kAvFormats) == kPixelFormats.size());

struct Format {
    AVPixelFormat pixel_format;
    int bytes_per_pixel;
};

// Sizes beyond this are no viewport, and keep every product of them far from overflowing.
constexpr double kMaxDimension = 16384;

Format format_of(std::string_view name) {
    const PixelFormat& f = pixel_format(name);
    return {kAvFormats[&f - kPixelFormats.data()], f.bytes_per_pixel};
}

// The target in bit/s: the Mbit/s value to three decimals, as the app's rate is meant. Only for
// a rate check_settings accepted.
int64_t bits_per_second(double mbits) { return std::llround(mbits * 1000.0) * 1000; }

bool within(double v, double low, double high) { return v >= low && v <= high; }  // NaN: false

// FFmpeg's libvpx wrapper hands the bit rate to libvpx only when the encoder opens; per frame it
// re-applies nothing but the quantiser limit. A new target therefore goes to libvpx itself, whose
// codec context opens the wrapper's private context, right after its class pointer. The context is
// taken only when it proves to be an open VP9 encoder of this very libvpx.
struct WrapperHead {
    const void* av_class;
    vpx_codec_ctx_t encoder;
};

vpx_codec_ctx_t* libvpx_of(AVCodecContext* c) {
    auto* head = static_cast<WrapperHead*>(c->priv_data);
    vpx_codec_ctx_t* e = head ? &head->encoder : nullptr;
    if (!e || e->iface != vpx_codec_vp9_cx() || !e->priv || !e->config.enc || !e->name ||
        std::strcmp(e->name, vpx_codec_iface_name(vpx_codec_vp9_cx())) != 0)
        return nullptr;
    return e;
}

std::string av_error(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

void check(int ret, const char* what) {
    if (ret < 0) throw std::runtime_error(std::string(what) + ": " + av_error(ret));
}

template <typename T>
T* check_alloc(T* p) {
    if (!p) throw std::bad_alloc();
    return p;
}

// Shortest decimal text that reads back as `v` ("720", "607.5").
std::string decimal(double v) {
    char text[32];
    auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

const AVFilter* filter(const char* name) {
    const AVFilter* f = avfilter_get_by_name(name);
    if (!f) throw std::runtime_error(std::string("FFmpeg has no filter \"") + name + "\"");
    return f;
}

AVFrame* new_frame(AVPixelFormat format, int width, int height) {
    AVFrame* f = check_alloc(av_frame_alloc());
    f->format = format;
    f->width = width;
    f->height = height;
    if (int r = av_frame_get_buffer(f, 0); r < 0) {
        av_frame_free(&f);
        check(r, "frame buffer");
    }
    return f;
}

// Encoder options: real-time CBR with no look-ahead at libvpx's fastest speed. "speed" is the
// legacy spelling of cpu-used that accepts values beyond FFmpeg's -8..8; libvpx clamps 15 to its
// own maximum. A rejected option would leave a slow default behind, so every one must stick.
// A key frame may take at most six frames' budget ("max-intra-rate", percent of one frame's): an
// uncapped one is many frames long and stalls the picture on a link that just carries the rate;
// a tighter cap costs a flat picture visible quality.
// No undershoot ("undershoot-pct" 0): libvpx would otherwise spend less than the target while its
// rate buffer lies below the optimum, which it does after every rise of the target (so a stream
// could not show that a link carries more), and the first frame after a fall of a quarter came
// out four to five times its budget (seen with 95 and, less often, with 10 to 50), a burst that
// held the picture back on a slow link. The stream then runs 2-3 % above its target on average,
// which the connection's rate control sees as what it delivers.
constexpr std::pair<const char*, const char*> kCodecOptions[] = {
    {"undershoot-pct", "0"}, {"lag-in-frames", "0"},  {"deadline", "realtime"},
    {"speed", "15"},         {"row-mt", "1"},         {"tile-columns", "2"},
    {"tile-rows", "2"},      {"frame-parallel", "1"}, {"max-intra-rate", "600"},
};

}  // namespace

void check_settings(const EncoderSettings& s) {
    auto in_range = [](double v) { return std::isfinite(v) && v >= 1 && v <= kMaxDimension; };
    if (!in_range(s.input_width) || !in_range(s.input_height))
        throw std::invalid_argument(
            "Invalid encoding input size: width and height must be 1 to 16384");
    format_of(s.input_format);
    if (!in_range(s.output_width) || !in_range(s.output_height))
        throw std::invalid_argument(
            "Invalid encoding output size: width and height must be 1 to 16384");
    check_rates(s.framerate, s.bitrate_mbps);
}

void check_rates(double framerate, double bitrate) {
    if (!within(framerate, kMinFramerate, kMaxFramerate))
        throw std::invalid_argument("Invalid encoding framerate: must be " +
                                    decimal(kMinFramerate) + " to " + decimal(kMaxFramerate) +
                                    " frames per second");
    if (!within(bitrate, kMinBitrate, kMaxBitrate))
        throw std::invalid_argument("Invalid encoding bitrate: must be " + decimal(kMinBitrate) +
                                    " to " + decimal(kMaxBitrate) + " Mbit/s");
}

void Vp9Encoder::Deleter::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void Vp9Encoder::Deleter::operator()(AVFilterGraph* p) const { avfilter_graph_free(&p); }
void Vp9Encoder::Deleter::operator()(AVFrame* p) const { av_frame_free(&p); }
void Vp9Encoder::Deleter::operator()(AVPacket* p) const { av_packet_free(&p); }
void Vp9Encoder::Deleter::operator()(SwsContext* p) const { sws_freeContext(p); }

Vp9Encoder::Vp9Encoder(const EncoderSettings& s) : settings_(s) {
    check_settings(s);
    const Format in = format_of(s.input_format);
    width_ = static_cast<int>(s.output_width);
    height_ = static_cast<int>(s.output_height);
    pixel_size_ = static_cast<size_t>(in.bytes_per_pixel);
    row_size_ = static_cast<size_t>(s.input_width) * pixel_size_;
    frame_size_ = row_size_ * static_cast<size_t>(s.input_height);

    open_codec(s);
    // Room for one pixel past each row of an odd width: see load().
    input_.reset(new_frame(in.pixel_format, s.input_width + (s.input_width & 1), s.input_height));
    input_->width = s.input_width;
    packet_.reset(check_alloc(av_packet_alloc()));
    bool scale = s.output_width != s.input_width || s.output_height != s.input_height;
    if (scale || s.vflip) {
        build_filters(s);
        output_.reset(check_alloc(av_frame_alloc()));  // receives the chain's frames
    } else {
        convert_.reset(check_alloc(sws_getContext(s.input_width, s.input_height, in.pixel_format,
                                                  width_, height_, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                                  nullptr, nullptr, nullptr)));
        output_.reset(new_frame(AV_PIX_FMT_YUV420P, width_, height_));
    }
}

Vp9Encoder::~Vp9Encoder() = default;

void Vp9Encoder::open_codec(const EncoderSettings& s) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libvpx-vp9");
    if (!codec) throw std::runtime_error("FFmpeg has no VP9 encoder \"libvpx-vp9\"");
    codec_.reset(check_alloc(avcodec_alloc_context3(codec)));
    AVCodecContext* c = codec_.get();
    AVRational rate = av_d2q(s.framerate, 1 << 16);
    c->width = width_;
    c->height = height_;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = av_inv_q(rate);
    c->framerate = rate;
    // FFmpeg's default is one thread, which would leave row-mt and the tiles without effect.
    c->thread_count = 0;
    // Equal average, minimum and maximum rates are FFmpeg's spelling of constant bit rate. A one
    // second buffer, half full at the start, is the usual real-time choice.
    int64_t bits = bits_per_second(s.bitrate_mbps);
    c->bit_rate = c->rc_min_rate = c->rc_max_rate = bits;
    c->rc_buffer_size = static_cast<int>(bits);
    c->rc_initial_buffer_occupancy = static_cast<int>(bits / 2);
    // One key frame, the first: on a reliable connection nothing is lost that a later one would
    // repair, and each would be a burst on the link.
    c->gop_size = std::numeric_limits<int>::max();
    // What swscale produces from RGB, so that decoders turn it back into the same colours.
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT470BG;
    for (auto [name, value] : kCodecOptions) {
        if (int r = av_opt_set(c->priv_data, name, value, 0); r < 0)
            throw std::runtime_error(std::string("VP9 encoder option ") + name + "=" + value +
                                     ": " + av_error(r));
    }
    check(avcodec_open2(c, codec, nullptr), "VP9 encoder");
    libvpx_ = libvpx_of(c);
}

// libvpx takes a new target between frames without a key frame; its rate buffer is kept in
// milliseconds, so it scales with the target. Where libvpx cannot be reached the encoder is opened
// again at the new rate, and the next frame is a key frame.
void Vp9Encoder::set_bitrate(double bits_per_second) {
    const double mbits = std::round(bits_per_second / 1000.0) / 1000.0;
    if (mbits <= 0 || mbits == settings_.bitrate_mbps) return;
    settings_.bitrate_mbps = mbits;
    if (libvpx_) {
        vpx_codec_enc_cfg_t cfg = *libvpx_->config.enc;
        cfg.rc_target_bitrate = static_cast<unsigned>(std::llround(mbits * 1000));
        if (vpx_codec_enc_config_set(libvpx_, &cfg) == VPX_CODEC_OK) {
            codec_->bit_rate = codec_->rc_min_rate = codec_->rc_max_rate =
                static_cast<int64_t>(cfg.rc_target_bitrate) * 1000;
            return;
        }
    }
    open_codec(settings_);
}

double Vp9Encoder::bitrate() const { return settings_.bitrate_mbps * 1e6; }

void Vp9Encoder::build_filters(const EncoderSettings& s) {
    const Format in = format_of(s.input_format);
    graph_.reset(check_alloc(avfilter_graph_alloc()));
    AVFilterGraph* g = graph_.get();
    // A lone flip leaves libavfilter to add the conversion to the encoder's format; keep it
    // bilinear like the scale step.
    g->scale_sws_opts = check_alloc(av_strdup("flags=bilinear"));

    char args[160];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=1/1",
                  s.input_width, s.input_height, in.pixel_format, codec_->time_base.num,
                  codec_->time_base.den);
    check(avfilter_graph_create_filter(&source_, filter("buffer"), "in", args, nullptr, g),
          "filter \"buffer\"");
    AVFilterContext* last = source_;
    auto append = [&](const char* name, const std::string& options) {
        AVFilterContext* f = nullptr;
        std::string what = std::string("filter \"") + name + "\"";
        check(avfilter_graph_create_filter(&f, filter(name), name,
                                           options.empty() ? nullptr : options.c_str(), nullptr, g),
              what.c_str());
        check(avfilter_link(last, 0, f, 0), what.c_str());
        last = f;
    };
    // The sink asks for the encoder's format, so the scale step converts in the same pass.
    if (s.output_width != s.input_width || s.output_height != s.input_height)
        append("scale", "width=" + decimal(s.output_width) + ":height=" + decimal(s.output_height) +
                            ":flags=bilinear");
    if (s.vflip) append("vflip", "");

    sink_ = check_alloc(avfilter_graph_alloc_filter(g, filter("buffersink"), "out"));
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
    check(av_opt_set_int_list(sink_, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN),
          "filter \"buffersink\"");
    check(avfilter_init_str(sink_, nullptr), "filter \"buffersink\"");
    check(avfilter_link(last, 0, sink_, 0), "filter \"buffersink\"");
    check(avfilter_graph_config(g, nullptr), "filter graph");
    if (av_buffersink_get_w(sink_) != width_ || av_buffersink_get_h(sink_) != height_)
        throw std::runtime_error("filter graph: the scale step made " +
                                 std::to_string(av_buffersink_get_w(sink_)) + "x" +
                                 std::to_string(av_buffersink_get_h(sink_)) + ", not " +
                                 std::to_string(width_) + "x" + std::to_string(height_));
}

void Vp9Encoder::load(const uint8_t* frame) {
    // A filter may still hold the previous frame's buffer; never write into a shared one.
    check(av_frame_make_writable(input_.get()), "frame buffer");
    uint8_t* dst = input_->data[0];
    const size_t stride = static_cast<size_t>(input_->linesize[0]);
    // swscale computes 4:2:0 chroma from pixel pairs and, for an odd width, reads one pixel past
    // the row: repeat the last pixel there, or the right edge turns to the colour of the padding.
    if (!(input_->width & 1) || stride < row_size_ + pixel_size_) {
        av_image_copy_plane(dst, static_cast<int>(stride), frame, static_cast<int>(row_size_),
                            static_cast<int>(row_size_), input_->height);
        return;
    }
    for (int y = 0; y < input_->height; ++y, dst += stride, frame += row_size_) {
        std::memcpy(dst, frame, row_size_);
        std::memcpy(dst + row_size_, dst + row_size_ - pixel_size_, pixel_size_);
    }
}

bool Vp9Encoder::encode(const PacketSink& sink) {
    input_->pts = pts_++;
    if (graph_) {
        av_frame_unref(output_.get());
        check(av_buffersrc_add_frame_flags(source_, input_.get(), AV_BUFFERSRC_FLAG_KEEP_REF),
              "filter input");
        check(av_buffersink_get_frame(sink_, output_.get()), "filter output");
    } else {
        check(av_frame_make_writable(output_.get()), "frame buffer");
        if (sws_scale(convert_.get(), input_->data, input_->linesize, 0, input_->height,
                      output_->data, output_->linesize) <= 0)
            throw std::runtime_error("pixel format conversion failed");
    }
    output_->pts = input_->pts;
    return send(output_.get(), sink);
}

bool Vp9Encoder::send(AVFrame* frame, const PacketSink& sink) {
    check(avcodec_send_frame(codec_.get(), frame), "VP9 encoder");
    bool wanted = true;
    for (;;) {
        int r = avcodec_receive_packet(codec_.get(), packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return wanted;
        check(r, "VP9 encoder");
        // After a refusal the rest is still drained, so the encoder stays ready for a next frame.
        if (wanted)
            wanted = sink(std::string_view(reinterpret_cast<const char*>(packet_->data),
                                           static_cast<size_t>(packet_->size)));
        av_packet_unref(packet_.get());
    }
}

}  // namespace tav::streaming
