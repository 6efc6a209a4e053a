#include "engine/VideoDemuxer.h"

#include <cstdint>
#include <cmath>
#include <limits>

#include "engine/FfmpegPtr.h"

extern "C" {
#include <libavutil/display.h>
}
#include "engine/LiveCounters.h"
#include "platform/Sleep.h"
#include "platform/Trace.h"

VideoDemuxer::VideoDemuxer() { ++g_nLiveVideoDemuxer; }

VideoDemuxer::~VideoDemuxer() {
    // No reader can be running while the object goes away, so no grace: a
    // program that exits does not wait for one.
    bClosed = true;
    CloseInput();
    --g_nLiveVideoDemuxer;
}

int VideoDemuxer::FpsFromRates(AVRational avgRate, AVRational realRate, AVRational decoderTimeBase) {
    double rate = 0.0;
    if (avgRate.num != 0 && avgRate.den != 0)
        rate = av_q2d(avgRate);
    else if (realRate.num != 0 && realRate.den != 0)
        rate = av_q2d(realRate);
    else if (decoderTimeBase.num != 0)
        rate = static_cast<double>(decoderTimeBase.den) / decoderTimeBase.num;
    // Compare as double first: a huge rate must not overflow the int cast.
    if (!(rate >= 1.0 && rate < kMaxFps + 1.0))
        return kDefaultFps;
    return static_cast<int>(rate);
}

// One decoder context per selected stream, built from its parameters.
static AVCodecContext* MakeCodecContext(const AVStream* st) {
    AVCodecContextPtr ctx(avcodec_alloc_context3(nullptr));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0)
        return nullptr;
    ctx->pkt_timebase = st->time_base;
    // The parameters carry no decoder time base; the stream's one is the
    // nearest thing and is what the stream description announces.
    ctx->time_base = st->time_base;
    return ctx.release();
}

// The demuxers of the shareable media kinds. Playlists, concatenation and
// image sequences are left out: each would open inputs the name never named.
static constexpr char kPeerFormats[] =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,flv,live_flv,asf,mp3,aac,ac3,eac3,flac,ogg,wav,w64,"
    "aiff,amr,amrnb,amrwb,ape,au,mpeg,mpegts,mpegvideo,rm,tta,h264,hevc,m4v,vc1,dts,mp2,truehd,wv";

void VideoDemuxer::setPeerInput(int (*interrupt)(void*), void* opaque) {
    pInterrupt = interrupt;
    pInterruptOpaque = opaque;
}

int VideoDemuxer::open(const char* name) {
    if (!name)
        return -1;
    if (!strName.empty() && strName == name)
        return 0;
    if (!strName.empty())
        close();

    pAudioStream = pVideoStream = nullptr;
    FreeCodecContexts();
    nAudioIndex = nVideoIndex = -1;
    dAudioTimeBase = dVideoTimeBase = 0.0;
    nFps = kDefaultFps;
    nRotation = 0;
    bCover = false;
    nDuration = 0;
    dStartTime = 0.0;
    lastVideo = passVideoThrough = ReadMark{};
    bPassingVideo = false;
    strName = name;

    int rc;
    {
        std::lock_guard<std::mutex> lock(mutex);
        AVDictionary* options = nullptr;
        std::string url = name;
        if (pInterrupt) {
            pFormatCtx = avformat_alloc_context();
            if (pFormatCtx) {
                pFormatCtx->interrupt_callback = AVIOInterruptCB{pInterrupt, pInterruptOpaque};
                pFormatCtx->format_whitelist = av_strdup(kPeerFormats);
            }
            av_dict_set(&options, "protocol_whitelist", "file", 0);
            url = "file:" + url;
        }
        rc = avformat_open_input(&pFormatCtx, url.c_str(), nullptr, &options);
        av_dict_free(&options);
    }
    if (rc != 0) {
        pFormatCtx = nullptr;  // freed by avformat_open_input on failure
        close();
        DebugTrace("av_open_input_file fail :%s\r\n", name);
        return -1;
    }
    pFormatCtx->flags |= AVFMT_FLAG_GENPTS;
    {
        std::lock_guard<std::mutex> lock(mutex);
        rc = avformat_find_stream_info(pFormatCtx, nullptr);
    }
    if (rc < 0) {
        close();
        return -1;
    }
    if (pFormatCtx->duration != AV_NOPTS_VALUE && pFormatCtx->duration > 0)
        nDuration = static_cast<int>(pFormatCtx->duration / AV_TIME_BASE);
    if (pFormatCtx->start_time != AV_NOPTS_VALUE)
        dStartTime = static_cast<double>(pFormatCtx->start_time) / AV_TIME_BASE;
    dReadFrom = dStartTime;

    if (AVStream* st = ChooseStream(pFormatCtx, AVMEDIA_TYPE_VIDEO)) {
        pVideoStream = st;
        nVideoIndex = st->index;
        dVideoTimeBase = av_q2d(st->time_base);
        nFps = FpsFromRates(st->avg_frame_rate, st->r_frame_rate, st->time_base);
        nRotation = RotationOf(st);
        bCover = (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    }
    if (AVStream* st = ChooseStream(pFormatCtx, AVMEDIA_TYPE_AUDIO)) {
        pAudioStream = st;
        nAudioIndex = st->index;
        dAudioTimeBase = av_q2d(st->time_base);
    }
    if (pAudioStream)
        pAudioCodecCtx = MakeCodecContext(pAudioStream);
    if (pVideoStream)
        pVideoCodecCtx = MakeCodecContext(pVideoStream);

    bClosed = false;
    return 0;
}

void VideoDemuxer::FreeCodecContexts() {
    avcodec_free_context(&pAudioCodecCtx);
    avcodec_free_context(&pVideoCodecCtx);
}

int VideoDemuxer::close() {
    strName.clear();
    bClosed = true;
    if (pFormatCtx)
        Sleep(kCloseGraceMs);
    CloseInput();
    return 0;
}

void VideoDemuxer::CloseInput() {
    std::lock_guard<std::mutex> lock(mutex);
    FreeCodecContexts();
    pAudioStream = pVideoStream = nullptr;
    avformat_close_input(&pFormatCtx);
}

AVPacket* VideoDemuxer::readPacket(int& bVideo, int& codecId) {
    if (bClosed)
        return nullptr;
    AVPacketPtr pkt(av_packet_alloc());
    if (!pkt)
        return nullptr;
    // The selection is matched under the lock too, so a close() on another
    // thread cannot free it between the read and the match.
    std::lock_guard<std::mutex> lock(mutex);
    for (;;) {
        if (!pFormatCtx || av_read_frame(pFormatCtx, pkt.get()) != 0)
            return nullptr;
        if (pAudioStream && pAudioCodecCtx && pkt->stream_index == nAudioIndex) {
            bVideo = 0;
            codecId = pAudioCodecCtx->codec_id;
            return pkt.release();
        }
        if (pVideoStream && pkt->stream_index == nVideoIndex && !HandedOutBefore(*pkt)) {
            lastVideo = ReadMark{pkt->pos, pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts};
            if (bCover && dVideoTimeBase > 0)  // stamped where it is to show: at once
                pkt->pts = pkt->dts = std::llround(dReadFrom / dVideoTimeBase);
            bVideo = 1;
            codecId = pVideoStream->codecpar->codec_id;
            return pkt.release();
        }
        av_packet_unref(pkt.get());
    }
}

int VideoDemuxer::RotationOf(const AVStream* st) {
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t))
        return 0;
    const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(counterClockwise))
        return 0;
    const int quarter = static_cast<int>(std::lround(-counterClockwise / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

// Of several streams of a kind, the one the file marks as default plays,
// else the first; a cover picture only when there is no moving picture.
AVStream* VideoDemuxer::ChooseStream(AVFormatContext* input, int type) {
    AVStream* first = nullptr;
    AVStream* cover = nullptr;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* st = input->streams[i];
        if (st->codecpar->codec_type != type)
            continue;
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            cover = cover ? cover : st;
            continue;
        }
        if (st->disposition & AV_DISPOSITION_DEFAULT)
            return st;
        first = first ? first : st;
    }
    return first ? first : cover;
}

namespace {
std::string Tag(const AVStream* st, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(st->metadata, key, nullptr, 0);
    return entry ? entry->value : "";
}
}  // namespace

std::string VideoDemuxer::StreamLabel(const AVStream* st) {
    std::string label = Tag(st, "language");
    if (const std::string title = Tag(st, "title"); !title.empty())
        label += (label.empty() ? "" : " - ") + title;
    return label.empty() ? "stream " + std::to_string(st->index) : label;
}

std::vector<VideoDemuxer::StreamInfo> VideoDemuxer::listStreams(int type) const {
    std::vector<StreamInfo> streams;
    if (!pFormatCtx)
        return streams;
    for (unsigned i = 0; i < pFormatCtx->nb_streams; ++i) {
        const AVStream* st = pFormatCtx->streams[i];
        if (st->codecpar->codec_type != type || (st->disposition & AV_DISPOSITION_ATTACHED_PIC) ||
            (type == AVMEDIA_TYPE_SUBTITLE && !avcodec_find_decoder(st->codecpar->codec_id)))
            continue;
        streams.push_back(StreamInfo{int(i), StreamLabel(st), st == pAudioStream || st == pVideoStream,
                                     (st->disposition & AV_DISPOSITION_DEFAULT) != 0, Tag(st, "language"),
                                     Tag(st, "title")});
    }
    return streams;
}

std::vector<VideoDemuxer::Chapter> VideoDemuxer::getChapters() const {
    std::vector<Chapter> chapters;
    if (!pFormatCtx)
        return chapters;
    for (unsigned i = 0; i < pFormatCtx->nb_chapters; ++i) {
        const AVChapter* ch = pFormatCtx->chapters[i];
        const AVDictionaryEntry* title = av_dict_get(ch->metadata, "title", nullptr, 0);
        chapters.push_back(Chapter{double(ch->start) * av_q2d(ch->time_base) - dStartTime,
                                   title ? title->value : "Chapter " + std::to_string(i + 1)});
    }
    return chapters;
}

int VideoDemuxer::seek(int seconds) { return seekTo(seconds); }

int VideoDemuxer::seekTo(double seconds) {
    if (bClosed)
        return -1;
    std::lock_guard<std::mutex> lock(mutex);
    SeekLocked(seconds);
    return 0;
}

void VideoDemuxer::SeekLocked(double seconds) {
    // A cover picture has no time line to seek in: the sound's is taken.
    const bool byVideo = dVideoTimeBase > 0 && !bCover;
    const double timeBase = byVideo ? dVideoTimeBase : dAudioTimeBase;
    const int index = byVideo ? nVideoIndex : nAudioIndex;
    const double units = (dStartTime + seconds) / timeBase;
    if (!(timeBase > 0) || !(std::abs(units) < 9e18))  // no time base, or a target no stamp can hold
        return;
    dReadFrom = dStartTime + seconds;
    bPassingVideo = false;
    if (pFormatCtx)
        avformat_seek_file(pFormatCtx, index, -std::numeric_limits<int64_t>::max(), static_cast<int64_t>(units),
                           std::numeric_limits<int64_t>::max(), 0);
}

AVCodecContext* VideoDemuxer::switchAudioStream(int index, double seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!pFormatCtx || index < 0 || index >= int(pFormatCtx->nb_streams))
        return nullptr;
    AVStream* st = pFormatCtx->streams[index];
    if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
        return nullptr;
    AVCodecContext* ctx = MakeCodecContext(st);
    if (!ctx)
        return nullptr;
    avcodec_free_context(&pAudioCodecCtx);
    pAudioCodecCtx = ctx;
    pAudioStream = st;
    nAudioIndex = index;
    dAudioTimeBase = av_q2d(st->time_base);
    SeekLocked(seconds);
    // The pictures up to where the read had got are queued or shown already.
    passVideoThrough = lastVideo;
    bPassingVideo = lastVideo.pos >= 0 || lastVideo.stamp != AV_NOPTS_VALUE;
    return ctx;
}

bool VideoDemuxer::HandedOutBefore(const AVPacket& pkt) {
    if (!bPassingVideo)
        return false;
    const int64_t stamp = pkt.dts != AV_NOPTS_VALUE ? pkt.dts : pkt.pts;
    // File positions grow in read order; stamps are the fallback where a
    // demuxer tells none.
    const bool before = pkt.pos >= 0 && passVideoThrough.pos >= 0 ? pkt.pos <= passVideoThrough.pos
                        : stamp != AV_NOPTS_VALUE && stamp <= passVideoThrough.stamp;
    bPassingVideo = before;
    return before;
}
