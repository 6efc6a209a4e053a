#include "engine/Subtitles.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/FfmpegPtr.h"
#include "engine/SubtitleCharset.h"
#include "engine/VideoDemuxer.h"
#include "platform/Trace.h"

extern "C" {
#include <ass/ass.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace fs = std::filesystem;

namespace {

const char* const kSubtitleExtensions[] = {".srt", ".ass", ".ssa", ".vtt", ".sub", ".txt", ".sup"};
const char* const kSubtitleFolders[] = {"Subs", "Subtitles", "subs", "subtitles"};
// A subtitle file larger than this is no subtitle file.
constexpr uintmax_t kMaxSubtitleFile = 64u << 20;
// Bytes read to tell a file's charset.
constexpr size_t kCharsetProbe = 1 << 20;
// libass messages up to this level reach the trace (5: its informational ones).
constexpr int kAssMessageLevel = 5;
// A bitmap subtitle side longer than this is a broken stream's.
constexpr int kMaxBitmapSide = 8192;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool IsSubtitleFile(const fs::path& path) {
    const std::string ext = Lower(path.extension().string());
    return std::any_of(std::begin(kSubtitleExtensions), std::end(kSubtitleExtensions),
                       [&](const char* known) { return ext == known; });
}

// The charset a subtitle file is written in, as iconv names it; empty for
// what FFmpeg reads itself (UTF-8, UTF-16 with its mark).
std::string DetectCharset(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(kCharsetProbe, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    return SubtitleCharset(head, path);
}

// A subtitle stream FFmpeg can decode: text, or bitmaps.
bool IsSubtitle(const AVStream* st) {
    return st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && avcodec_find_decoder(st->codecpar->codec_id);
}

struct InputClose {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};

}  // namespace

// libass speaks through the debug trace only, like the rest of the engine.
static void AssMessage(int level, const char* format, va_list args, void*) {
    if (level > kAssMessageLevel || !DebugTraceEnabled())
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    DebugTrace("libass: %s\r\n", line);
}

Subtitles::Subtitles() {
    m_pLibrary = ass_library_init();
    if (m_pLibrary) {
        ass_set_message_cb(m_pLibrary, AssMessage, nullptr);
        m_pRenderer = ass_renderer_init(m_pLibrary);
    }
    if (m_pRenderer)
        ass_set_fonts(m_pRenderer, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
}

Subtitles::~Subtitles() {
    Clear();
    if (m_pRenderer)
        ass_renderer_done(m_pRenderer);
    if (m_pLibrary)
        ass_library_done(m_pLibrary);
}

std::vector<Subtitles::Choice> Subtitles::Find(const std::string& medium,
                                               const std::vector<VideoDemuxer::StreamInfo>& streams) {
    std::vector<Choice> choices;
    // film.srt, film.en.srt, film.eng.forced.ass; and the same in Subs/.
    const fs::path path(medium);
    const std::string stem = path.stem().string();
    std::vector<fs::path> dirs{path.parent_path().empty() ? fs::path(".") : path.parent_path()};
    for (const char* folder : kSubtitleFolders)
        dirs.push_back(dirs.front() / folder);
    std::vector<fs::path> files;
    for (const fs::path& dir : dirs) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const fs::path& file = entry.path();
            const std::string name = file.filename().string();
            const bool matches = dir == dirs.front() ? name.rfind(stem + ".", 0) == 0 : true;
            if (matches && IsSubtitleFile(file) && entry.is_regular_file(ec) && entry.file_size(ec) <= kMaxSubtitleFile)
                files.push_back(file);
        }
    }
    std::sort(files.begin(), files.end());
    // Files beside the medium first: a person put them there for it.
    for (const fs::path& file : files)
        choices.push_back(Choice{file.string(), -1, file.filename().string(), true});
    for (const VideoDemuxer::StreamInfo& stream : streams)
        choices.push_back(Choice{medium, stream.index, stream.label, stream.marked});
    return choices;
}

void Subtitles::StopReading() {
    m_bStop = true;
    if (m_reader.joinable())
        m_reader.join();
    m_bStop = false;
}

void Subtitles::Clear() {
    StopReading();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pTrack)
        ass_free_track(m_pTrack);
    m_pTrack = nullptr;
    m_current = Choice{};
    m_bitmaps.clear();
    m_nCanvasWidth = m_nCanvasHeight = 0;
}

void Subtitles::Load(const Choice& choice, double origin) {
    Clear();
    if (choice.path.empty() || !m_pLibrary)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pTrack = ass_new_track(m_pLibrary);
        m_current = choice;
        m_dOrigin = choice.stream < 0 ? origin : 0.0;
    }
    m_reader = std::thread(&Subtitles::Read, this, choice);
}

// Decodes every event of the source into the track, as it goes.
void Subtitles::Read(Choice choice) {
    AVFormatContext* raw = nullptr;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&raw, choice.path.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (opened != 0)
        return;
    std::unique_ptr<AVFormatContext, InputClose> input(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return;
    int index = choice.stream;
    if (index < 0)
        for (unsigned i = 0; i < raw->nb_streams && index < 0; ++i)
            if (IsSubtitle(raw->streams[i]))
                index = int(i);
    if (index < 0 || index >= int(raw->nb_streams) || !IsSubtitle(raw->streams[index])) {
        DebugTrace("subtitles: none in %s\r\n", choice.path.c_str());
        return;
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        raw->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* st = raw->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!codec || !ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0)
        return;
    ctx->pkt_timebase = st->time_base;
    const AVCodecDescriptor* kind = avcodec_descriptor_get(st->codecpar->codec_id);
    if (choice.stream < 0 && kind && (kind->props & AV_CODEC_PROP_TEXT_SUB)) {  // bitmaps have no charset
        const std::string charset = DetectCharset(choice.path);
        if (!charset.empty()) {
            ctx->sub_charenc = av_strdup(charset.c_str());
            ctx->sub_charenc_mode = FF_SUB_CHARENC_MODE_PRE_DECODER;
        }
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nCanvasWidth = ctx->width;
        m_nCanvasHeight = ctx->height;
        if (ctx->subtitle_header && m_pTrack)
            ass_process_codec_private(m_pTrack, reinterpret_cast<char*>(ctx->subtitle_header),
                                      ctx->subtitle_header_size);
    }
    AVPacketPtr pkt(av_packet_alloc());
    while (!m_bStop && av_read_frame(raw, pkt.get()) >= 0) {
        if (pkt->stream_index == index && pkt->pts != AV_NOPTS_VALUE) {
            AVSubtitle sub{};
            int got = 0;
            if (avcodec_decode_subtitle2(ctx.get(), &sub, &got, pkt.get()) >= 0 && got) {
                const auto startMs = static_cast<long long>(std::llround(double(pkt->pts) * av_q2d(st->time_base) * 1000));
                long long durationMs = pkt->duration > 0
                                           ? static_cast<long long>(std::llround(double(pkt->duration) * av_q2d(st->time_base) * 1000))
                                           : static_cast<long long>(sub.end_display_time);
                std::lock_guard<std::mutex> lock(m_mutex);
                for (unsigned r = 0; r < sub.num_rects && m_pTrack; ++r)
                    if (sub.rects[r]->type == SUBTITLE_ASS && sub.rects[r]->ass)
                        ass_process_chunk(m_pTrack, sub.rects[r]->ass, int(std::strlen(sub.rects[r]->ass)), startMs,
                                          std::max(durationMs, 1LL));
                if (!m_nCanvasWidth) {  // known once the first set is decoded
                    m_nCanvasWidth = ctx->width;
                    m_nCanvasHeight = ctx->height;
                }
                AddBitmaps(sub, double(pkt->pts) * av_q2d(st->time_base));
                avsubtitle_free(&sub);
            }
        }
        av_packet_unref(pkt.get());
    }
}

// A bitmap set shows from its start until its own end, or until the next
// set (PGS and DVB send an empty set to clear the screen).
void Subtitles::AddBitmaps(const AVSubtitle& sub, double start) {
    start += sub.start_display_time / 1000.0;
    for (Bitmap& shown : m_bitmaps)
        shown.end = std::min(shown.end, start);
    const double end = sub.end_display_time > sub.start_display_time && sub.end_display_time != UINT32_MAX
                           ? start + (sub.end_display_time - sub.start_display_time) / 1000.0
                           : INFINITY;
    for (unsigned r = 0; r < sub.num_rects; ++r) {
        const AVSubtitleRect& rect = *sub.rects[r];
        if (rect.type != SUBTITLE_BITMAP || rect.w <= 0 || rect.h <= 0 || !rect.data[0] || !rect.data[1] ||
            rect.w > kMaxBitmapSide || rect.h > kMaxBitmapSide)
            continue;
        Bitmap bitmap{start, end, rect.x, rect.y, rect.w, rect.h, std::vector<uint8_t>(size_t(rect.w) * rect.h * 4)};
        const auto* palette = reinterpret_cast<const uint32_t*>(rect.data[1]);  // ARGB
        for (int y = 0; y < rect.h; ++y)
            for (int x = 0; x < rect.w; ++x) {
                const uint8_t index = rect.data[0][size_t(y) * rect.linesize[0] + x];
                const uint32_t argb = index < std::max(rect.nb_colors, 0) ? palette[index] : 0;
                uint8_t* px = &bitmap.bgra[(size_t(y) * rect.w + x) * 4];
                px[0] = argb & 0xff, px[1] = argb >> 8 & 0xff, px[2] = argb >> 16 & 0xff, px[3] = argb >> 24;
            }
        m_bitmaps.push_back(std::move(bitmap));
    }
}

bool Subtitles::DrawBitmaps(uint8_t* bgra, int width, int height, int stride, double at) {
    const int canvasW = m_nCanvasWidth > 0 ? m_nCanvasWidth : width;
    const int canvasH = m_nCanvasHeight > 0 ? m_nCanvasHeight : height;
    bool drawn = false;
    for (const Bitmap& b : m_bitmaps) {
        if (!(at >= b.start && at < b.end))
            continue;
        // Each picture pixel takes the subtitle pixel it falls on.
        const int x0 = int(int64_t(b.x) * width / canvasW), x1 = int(int64_t(b.x + b.w) * width / canvasW);
        const int y0 = int(int64_t(b.y) * height / canvasH), y1 = int(int64_t(b.y + b.h) * height / canvasH);
        for (int y = std::max(y0, 0); y < std::min(y1, height); ++y) {
            const int sy = std::min(b.h - 1, int(int64_t(y - y0) * b.h / std::max(y1 - y0, 1)));
            for (int x = std::max(x0, 0); x < std::min(x1, width); ++x) {
                const int sx = std::min(b.w - 1, int(int64_t(x - x0) * b.w / std::max(x1 - x0, 1)));
                const uint8_t* src = &b.bgra[(size_t(sy) * b.w + sx) * 4];
                if (src[3] == 0)
                    continue;
                uint8_t* px = bgra + size_t(y) * stride + size_t(x) * 4;
                for (int c = 0; c < 3; ++c)
                    px[c] = uint8_t(px[c] + (src[c] - px[c]) * src[3] / 255);
                drawn = true;
            }
        }
    }
    return drawn;
}

bool Subtitles::Render(uint8_t* bgra, int width, int height, int stride, double stamp) {
    if (!m_pRenderer || width <= 0 || height <= 0)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pTrack)
        return false;
    if (width != m_nFrameWidth || height != m_nFrameHeight) {
        ass_set_frame_size(m_pRenderer, width, height);
        ass_set_storage_size(m_pRenderer, width, height);
        m_nFrameWidth = width;
        m_nFrameHeight = height;
    }
    ass_set_font_scale(m_pRenderer, m_dScale);
    const double at = (stamp - m_dOrigin - m_dDelay) * 1000.0;
    if (!std::isfinite(at))
        return false;
    bool drawn = DrawBitmaps(bgra, width, height, stride, at / 1000.0);
    for (ASS_Image* img = ass_render_frame(m_pRenderer, m_pTrack, static_cast<long long>(at), nullptr); img;
         img = img->next) {
        // The colour is RGBA with the alpha inverted: 0 is opaque.
        const int r = img->color >> 24, g = img->color >> 16 & 0xff, b = img->color >> 8 & 0xff;
        const int opacity = 255 - int(img->color & 0xff);
        for (int y = 0; y < img->h; ++y) {
            const int dy = img->dst_y + y;
            if (dy < 0 || dy >= height)
                continue;
            const uint8_t* src = img->bitmap + size_t(y) * img->stride;
            uint8_t* row = bgra + size_t(dy) * stride;
            for (int x = 0; x < img->w; ++x) {
                const int dx = img->dst_x + x;
                const int a = src[x] * opacity / 255;
                if (dx < 0 || dx >= width || a == 0)
                    continue;
                uint8_t* px = row + size_t(dx) * 4;
                px[0] = uint8_t(px[0] + (b - px[0]) * a / 255);
                px[1] = uint8_t(px[1] + (g - px[1]) * a / 255);
                px[2] = uint8_t(px[2] + (r - px[2]) * a / 255);
                drawn = true;
            }
        }
    }
    return drawn;
}

std::string Subtitles::TextAt(double stamp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const double at = (stamp - m_dOrigin - m_dDelay) * 1000.0;
    if (!m_pTrack || !std::isfinite(at))
        return "";
    std::vector<const ASS_Event*> due;
    for (int i = 0; i < m_pTrack->n_events; ++i) {
        const ASS_Event& event = m_pTrack->events[i];
        if (event.Text && at >= double(event.Start) && at < double(event.Start) + double(event.Duration))
            due.push_back(&event);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const ASS_Event* a, const ASS_Event* b) { return a->ReadOrder < b->ReadOrder; });
    std::string text;
    for (const ASS_Event* event : due) {
        if (!text.empty())
            text += '\n';
        // Override blocks {...} go; \N and \n are line breaks, \h a space.
        int depth = 0;
        for (const char* p = event->Text; *p; ++p) {
            if (*p == '{' || (*p == '}' && depth > 0)) {
                depth += *p == '{' ? 1 : -1;
            } else if (depth == 0 && p[0] == '\\' && (p[1] == 'N' || p[1] == 'n' || p[1] == 'h')) {
                text += p[1] == 'h' ? ' ' : '\n';
                ++p;
            } else if (depth == 0) {
                text += *p;
            }
        }
    }
    return text;
}
