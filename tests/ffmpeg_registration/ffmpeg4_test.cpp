// The registration library against a real FFmpeg of the lock-manager
// generation: FFmpeg 4.3 (libavcodec 58, libavformat 58), as the ffmpeg4
// preset builds it.
//
// FFmpeg 4.x keeps av_lockmgr_register and av_register_all for old callers,
// but neither does anything a caller could see any more: the first returns 0
// and keeps nothing, so FFmpeg never calls the lock manager it is handed; the
// second sets up the deprecated iteration lists once. FFmpeg guards its own
// state instead (avcodec_open2 takes a mutex of its own around codec set-ups
// that are not thread-safe). So these tests show that the library imports
// the two real calls, makes them once, in order, under the ffm lock, hands
// FFmpeg its lock manager, and that FFmpeg then opens codecs on many threads
// at once; they cannot show FFmpeg serialising anything through the lock
// manager, which this generation never calls.
//
// To see the calls, this program defines both functions itself and exports
// them: it comes first in the process's symbol lookup, so the library's
// imports bind to these recorders, which pass every call on to FFmpeg's own.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "counting_srw/counting_srw.h"
#include "karvon/threads/critical_section.h"
#include "loaded_library.h"
#include "threads_at_once.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

static_assert(LIBAVCODEC_VERSION_MAJOR == 58 && LIBAVFORMAT_VERSION_MAJOR == 58,
              "this program is built against FFmpeg 4.x only");

namespace {

using Karvon::Threads::critical_section;
using lock_manager = int (*)(void** mutex, enum AVLockOp op);

constexpr char k_ffm_register[] = "_ZN6Tovrel6ffmpeg12ffm_registerEv";
constexpr char k_get_ffm_lock[] = "_ZN6Tovrel6ffmpeg12get_ffm_lockEv";
constexpr int k_threads = 8;

struct seen_call {
    std::string function;
    std::uint32_t thread;
    bool ffm_lock_held;
    lock_manager callback;  // av_lockmgr_register's argument
    int status;             // what FFmpeg's own function returned
};

std::mutex g_mutex;
std::vector<seen_call> g_calls;
const critical_section* g_ffm_lock = nullptr;

void record(seen_call call) {
    std::lock_guard<std::mutex> guard(g_mutex);
    call.ffm_lock_held = g_ffm_lock != nullptr && counting_srw::owner(*g_ffm_lock) == call.thread;
    g_calls.push_back(call);
}

std::vector<seen_call> calls() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_calls;
}

// FFmpeg's own definition of a function, after this program's.
template <typename Function>
Function ffmpeg_function(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "FFmpeg does not define %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(found);
}

// The file that defines the code at an address.
std::string file_of(void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
}

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
extern "C" __attribute__((visibility("default"))) int av_lockmgr_register(lock_manager callback) {
    static const auto ffmpeg = ffmpeg_function<int (*)(lock_manager)>("av_lockmgr_register");
    const int status = ffmpeg(callback);
    record({"av_lockmgr_register", GetCurrentThreadId(), false, callback, status});
    return status;
}

extern "C" __attribute__((visibility("default"))) void av_register_all(void) {
    static const auto ffmpeg = ffmpeg_function<void (*)()>("av_register_all");
    ffmpeg();
    record({"av_register_all", GetCurrentThreadId(), false, nullptr, 0});
}
#pragma GCC diagnostic pop

namespace {

// One build of the registration library, loaded afresh: unregistered.
class registration_library {
  public:
    explicit registration_library(const char* file) : m_library(file) {
        m_ffm_register = m_library.function<bool (*)()>(k_ffm_register);
        m_get_ffm_lock = m_library.function<critical_section& (*)()>(k_get_ffm_lock);
        if (m_ffm_register == nullptr || m_get_ffm_lock == nullptr) {
            throw std::runtime_error(std::string(file) + " lacks its exports");
        }
        std::lock_guard<std::mutex> guard(g_mutex);
        g_calls.clear();
        g_ffm_lock = &m_get_ffm_lock();
    }
    ~registration_library() {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_ffm_lock = nullptr;
    }

    bool ffm_register() { return m_ffm_register(); }
    critical_section& ffm_lock() { return m_get_ffm_lock(); }
    tovrel_test::loaded_library& library() { return m_library; }

  private:
    tovrel_test::loaded_library m_library;
    bool (*m_ffm_register)() = nullptr;
    critical_section& (*m_get_ffm_lock)() = nullptr;
};

TEST(ffmpeg4, the_library_imports_both_calls_from_ffmpeg_58_and_the_process_has_them) {
    registration_library shipped(TOVREL_FFMPEG_SHIPPED);
    const std::vector<tovrel_test::loaded_library::import> imports = shipped.library().imports();
    auto find = [&](const std::string& name) {
        for (const auto& import : imports) {
            if (import.name == name) return import;
        }
        return tovrel_test::loaded_library::import{};
    };
    const auto lockmgr = find("av_lockmgr_register");
    EXPECT_EQ(lockmgr.version, "LIBAVCODEC_58");
    EXPECT_EQ(lockmgr.library, "libavcodec.so.58");
    const auto register_all = find("av_register_all");
    EXPECT_EQ(register_all.version, "LIBAVFORMAT_58");
    EXPECT_EQ(register_all.library, "libavformat.so.58");

    // Those versions, as the FFmpeg 4.3 libraries of this process define
    // them; the recorders above pass the calls on to exactly these.
    const std::string folder = TOVREL_FFMPEG4_LIBDIR;
    void* avcodec = dlopen("libavcodec.so.58", RTLD_NOW | RTLD_NOLOAD);
    void* avformat = dlopen("libavformat.so.58", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(avcodec, nullptr);
    ASSERT_NE(avformat, nullptr);
    void* real_lockmgr = dlvsym(avcodec, "av_lockmgr_register", "LIBAVCODEC_58");
    void* real_register_all = dlvsym(avformat, "av_register_all", "LIBAVFORMAT_58");
    EXPECT_EQ(file_of(real_lockmgr), folder + "/libavcodec.so.58");
    EXPECT_EQ(file_of(real_register_all), folder + "/libavformat.so.58");
    EXPECT_EQ(real_lockmgr, dlsym(RTLD_NEXT, "av_lockmgr_register"));
    EXPECT_EQ(real_register_all, dlsym(RTLD_NEXT, "av_register_all"));
    dlclose(avcodec);
    dlclose(avformat);
}

TEST(ffmpeg4, first_calls_from_many_threads_register_once_in_order_under_the_ffm_lock) {
    registration_library shipped(TOVREL_FFMPEG_SHIPPED);
    std::atomic<int> true_results{0};
    tovrel_test::on_threads_at_once(k_threads, [&](int) {
        if (shipped.ffm_register()) true_results.fetch_add(1);
    });
    EXPECT_EQ(true_results.load(), k_threads);

    const std::vector<seen_call> seen = calls();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].function, "av_lockmgr_register");
    EXPECT_EQ(seen[1].function, "av_register_all");
    EXPECT_NE(seen[0].callback, nullptr);
    EXPECT_EQ(seen[0].status, 0) << "FFmpeg 4.x accepts any lock manager";
    EXPECT_EQ(seen[0].thread, seen[1].thread);
    EXPECT_TRUE(seen[0].ffm_lock_held);
    EXPECT_TRUE(seen[1].ffm_lock_held);
    EXPECT_EQ(counting_srw::owner(shipped.ffm_lock()), 0u);

    // Later calls, on this thread or another, reach FFmpeg no more.
    EXPECT_TRUE(shipped.ffm_register());
    std::thread([&] { EXPECT_TRUE(shipped.ffm_register()); }).join();
    EXPECT_EQ(calls().size(), 2u);
}

TEST(ffmpeg4, ffmpeg_is_handed_the_library_s_own_lock_manager) {
    registration_library hooks(TOVREL_FFMPEG_HOOKS);
    using hook = lock_manager (*)();
    const auto handed_out = hooks.library().function<hook>("tovrel_ffmpeg_test_lock_manager");
    ASSERT_NE(handed_out, nullptr);
    EXPECT_TRUE(hooks.ffm_register());
    const std::vector<seen_call> seen = calls();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].callback, handed_out());

    // What FFmpeg would do with it: one mutex, obtained and released.
    void* mutex = nullptr;
    ASSERT_EQ(seen[0].callback(&mutex, AV_LOCK_CREATE), 0);
    ASSERT_NE(mutex, nullptr);
    const auto& lock = *static_cast<critical_section*>(mutex);
    EXPECT_EQ(seen[0].callback(&mutex, AV_LOCK_OBTAIN), 0);
    EXPECT_EQ(counting_srw::owner(lock), GetCurrentThreadId());
    EXPECT_EQ(seen[0].callback(&mutex, AV_LOCK_RELEASE), 0);
    EXPECT_EQ(counting_srw::owner(lock), 0u);
    EXPECT_EQ(seen[0].callback(&mutex, AV_LOCK_DESTROY), 0);
    EXPECT_EQ(mutex, nullptr);
}

// One round trip through FFmpeg on the calling thread: opens an MPEG-4
// encoder, encodes one grey frame, opens a decoder and decodes it. Returns
// "" or what went wrong.
std::string encode_and_decode_one_frame() {
    auto free_context = [](AVCodecContext* c) { avcodec_free_context(&c); };
    auto free_frame = [](AVFrame* f) { av_frame_free(&f); };
    auto free_packet = [](AVPacket* p) { av_packet_free(&p); };
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    if (encoder == nullptr || decoder == nullptr) return "no MPEG-4 codec in this FFmpeg";

    std::unique_ptr<AVCodecContext, decltype(free_context)> out(avcodec_alloc_context3(encoder),
                                                                free_context);
    out->width = 64;
    out->height = 48;
    out->pix_fmt = AV_PIX_FMT_YUV420P;
    out->time_base = AVRational{1, 25};
    if (int status = avcodec_open2(out.get(), encoder, nullptr); status != 0) {
        return "avcodec_open2 of the encoder: " + std::to_string(status);
    }
    std::unique_ptr<AVFrame, decltype(free_frame)> frame(av_frame_alloc(), free_frame);
    frame->format = out->pix_fmt;
    frame->width = out->width;
    frame->height = out->height;
    frame->pts = 0;
    if (av_frame_get_buffer(frame.get(), 0) != 0) return "av_frame_get_buffer failed";
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? frame->height : frame->height / 2;
        for (int y = 0; y < rows; ++y) {
            std::memset(frame->data[plane] + y * frame->linesize[plane], 128,
                        static_cast<std::size_t>(frame->linesize[plane]));
        }
    }
    std::unique_ptr<AVPacket, decltype(free_packet)> packet(av_packet_alloc(), free_packet);
    if (int status = avcodec_send_frame(out.get(), frame.get()); status != 0) {
        return "avcodec_send_frame: " + std::to_string(status);
    }
    int status = avcodec_receive_packet(out.get(), packet.get());
    if (status == AVERROR(EAGAIN)) {  // an encoder that holds frames back: drain it
        avcodec_send_frame(out.get(), nullptr);
        status = avcodec_receive_packet(out.get(), packet.get());
    }
    if (status != 0) return "avcodec_receive_packet: " + std::to_string(status);

    std::unique_ptr<AVCodecContext, decltype(free_context)> in(avcodec_alloc_context3(decoder),
                                                               free_context);
    if (status = avcodec_open2(in.get(), decoder, nullptr); status != 0) {
        return "avcodec_open2 of the decoder: " + std::to_string(status);
    }
    std::unique_ptr<AVFrame, decltype(free_frame)> decoded(av_frame_alloc(), free_frame);
    if (status = avcodec_send_packet(in.get(), packet.get()); status != 0) {
        return "avcodec_send_packet: " + std::to_string(status);
    }
    status = avcodec_receive_frame(in.get(), decoded.get());
    if (status == AVERROR(EAGAIN)) {  // the decoder holds the frame back: drain it
        avcodec_send_packet(in.get(), nullptr);
        status = avcodec_receive_frame(in.get(), decoded.get());
    }
    if (status != 0) return "avcodec_receive_frame: " + std::to_string(status);
    if (decoded->width != 64 || decoded->height != 48) return "the decoded frame has another size";
    return "";
}

TEST(ffmpeg4, after_registration_codecs_open_on_many_threads_at_once) {
    registration_library shipped(TOVREL_FFMPEG_SHIPPED);
    ASSERT_TRUE(shipped.ffm_register());
    for (int round = 0; round < 4; ++round) {
        std::vector<std::string> errors(k_threads);
        tovrel_test::on_threads_at_once(k_threads,
                                        [&](int i) { errors[i] = encode_and_decode_one_frame(); });
        EXPECT_THAT(errors, ::testing::Each(std::string())) << "round " << round;
    }
}

}  // namespace
