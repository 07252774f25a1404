// The VP9 encoder the worker uses (libvpx through libavcodec), linked as the build links it:
// statically from the third-party prefix in the Windows build. Under Wine this shows that the
// cross-built libraries, their assembly and their run-time CPU detection work on Windows.
#include <doctest/doctest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <memory>

namespace {
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
}  // namespace

TEST_CASE("the VP9 encoder turns frames into packets, the first a key frame") {
    const AVCodec* codec = avcodec_find_encoder_by_name("libvpx-vp9");
    REQUIRE(codec != nullptr);
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(codec));
    ctx->width = 160;
    ctx->height = 96;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, 30};
    ctx->bit_rate = 1'000'000;
    ctx->thread_count = 2;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "deadline", "realtime", 0);
    av_dict_set(&options, "cpu-used", "8", 0);
    int opened = avcodec_open2(ctx.get(), codec, &options);
    av_dict_free(&options);
    REQUIRE(opened == 0);

    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    frame->format = ctx->pix_fmt;
    frame->width = ctx->width;
    frame->height = ctx->height;
    REQUIRE(av_frame_get_buffer(frame.get(), 0) == 0);
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());

    int packets = 0, first_flags = 0;
    auto drain = [&] {
        while (avcodec_receive_packet(ctx.get(), packet.get()) == 0) {
            CHECK(packet->size > 0);
            if (packets++ == 0) first_flags = packet->flags;
            av_packet_unref(packet.get());
        }
    };
    constexpr int frames = 5;
    for (int i = 0; i < frames; ++i) {
        REQUIRE(av_frame_make_writable(frame.get()) == 0);
        for (int plane = 0; plane < 3; ++plane) {
            int rows = plane == 0 ? ctx->height : ctx->height / 2;
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < frame->linesize[plane]; ++x)
                    frame->data[plane][y * frame->linesize[plane] + x] =
                        uint8_t(plane == 0 ? x + y + i * 8 : 128);
        }
        frame->pts = i;
        REQUIRE(avcodec_send_frame(ctx.get(), frame.get()) == 0);
        drain();
    }
    REQUIRE(avcodec_send_frame(ctx.get(), nullptr) == 0);
    drain();
    CHECK(packets == frames);
    CHECK((first_flags & AV_PKT_FLAG_KEY) != 0);
}
