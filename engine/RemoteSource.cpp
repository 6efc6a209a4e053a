// The remote source of the playback controller: packages come from a stream
// receiver instead of the demuxer.

#include <algorithm>

#include "engine/MediaPlayer.h"
#include "engine/Package.h"
#include "output/OutputHooks.h"
#include "platform/Trace.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

namespace {

constexpr double kDefaultTimeBase = 0.001;

double Ratio(const TimeBase& tb, double fallback) { return tb.den ? double(tb.num) / tb.den : fallback; }

// Copies the private data into the context (FFmpeg wants it padded).
void SetExtradata(AVCodecContext* ctx, const std::vector<uint8_t>& data) {
    if (data.empty())
        return;
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata)
        return;
    std::copy(data.begin(), data.end(), ctx->extradata);
    ctx->extradata_size = int(data.size());
}

// A received description has no demuxer behind it that chose safe settings.
void ApplyRemoteVideoOptions(AVCodecContext* ctx) {
    ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    ctx->thread_count = 1;
    ctx->workaround_bugs = FF_BUG_AUTODETECT;
    ctx->err_recognition = AV_EF_CAREFUL;
    ctx->error_concealment = FF_EC_GUESS_MVS | FF_EC_DEBLOCK;
    ctx->skip_idct = AVDISCARD_DEFAULT;
    ctx->skip_frame = AVDISCARD_DEFAULT;
}

// A decoder context for a described audio stream; null when none is described.
AVCodecContext* AudioContext(const StreamDescription::Audio& a) {
    if (!a.bPresent)
        return nullptr;
    AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
    if (!ctx)
        return nullptr;
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    ctx->codec_id = AVCodecID(a.nCodecId);
    ctx->block_align = a.nBlockAlign;
    av_channel_layout_default(&ctx->ch_layout, a.nChannels);
    ctx->sample_rate = a.nSampleRate;
    ctx->sample_fmt = AVSampleFormat(a.nSampleFmt);
    ctx->time_base = AVRational{a.codecTimeBase.num, a.codecTimeBase.den};
    ctx->pkt_timebase = AVRational{a.streamTimeBase.num, a.streamTimeBase.den};
    SetExtradata(ctx, a.extradata);
    return ctx;
}

AVCodecContext* VideoContext(const StreamDescription::Video& v) {
    if (!v.bPresent)
        return nullptr;
    AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
    if (!ctx)
        return nullptr;
    ctx->codec_type = AVMEDIA_TYPE_VIDEO;
    ctx->codec_id = AVCodecID(v.nCodecId);
    ctx->coded_width = ctx->width = v.nWidth;
    ctx->coded_height = ctx->height = v.nHeight;
    ctx->time_base = AVRational{v.codecTimeBase.num, v.codecTimeBase.den};
    ctx->pkt_timebase = AVRational{v.streamTimeBase.num, v.streamTimeBase.den};
    SetExtradata(ctx, v.extradata);
    ApplyRemoteVideoOptions(ctx);
    return ctx;
}

}  // namespace

int MediaPlayer::StartPlay(const char* address, int port, const char* name) {
    if (!address || !name)
        return -1;
    SetPause(true);
    m_bInfoReady = false;
    m_audio.ResetLastStamp();
    m_presenter.ResetVideoClock();
    m_strMedia = name;
    m_strServer = address;
    m_nPort = port;

    ReleaseRecver();
    if (m_recverFactory) {
        RemoteRecver* recver = m_recverFactory();
        // A failed connection shows up as a failing SendDescribe in the feeder.
        recver->Connect(address, port);
        recver->SetOwner(this);
        recver->SetName(name);
        {
            std::lock_guard<std::mutex> lock(m_countMutex);
            m_nFetchesSent = m_nAnswers = m_nStaleAnswers = 0;
        }
        m_pRecver = recver;
    }
    SetEnded(false);
    m_bLocal = false;
    m_bDescribed = false;
    m_dStartTime = 0.0;
    m_bStartKnown = false;
    StartThreads();
    return 0;
}

bool MediaPlayer::RemoteSourceEnded() const {
    RemoteRecver* recver = m_pRecver;
    return !m_bLocal && (!recver || recver->IsEnded());
}

void MediaPlayer::ReleaseRecver() {
    RemoteRecver* recver = m_pRecver.exchange(nullptr);
    if (!recver)
        return;
    recver->Close();
    recver->JoinThreads();
    recver->ReleaseSendBuffers();
    delete recver;
}

// Waits kDescribeWaitMs for the description; neither Stop nor the first
// fetch waits for the rest of it.
void MediaPlayer::AwaitDescription() {
    m_feederWake.WaitFor(kDescribeWaitMs, [this] { return m_bQuit || m_bInfoReady; });
}

bool MediaPlayer::RemoteWaitStep() {
    RemoteRecver* recver = m_pRecver;
    if (!recver || m_bInfoReady)
        return false;
    recver->SendDescribe();
    AwaitDescription();
    return true;
}

bool MediaPlayer::RemoteFetchStep() {
    RemoteRecver* recver = m_pRecver;
    if (!recver) {  // nothing to play from until the next open
        FeederWait([this] { return m_bQuit.load(); });
        return true;
    }
    if (m_bInfoReady) {
        {
            std::lock_guard<std::mutex> order(m_requestMutex);
            const bool sent = recver->SendFetchMediaPkgRsq() == 0;
            std::lock_guard<std::mutex> lock(m_countMutex);
            m_nFetchesSent += sent ? 1 : 0;
        }
        m_feederWake.WaitFor(kFetchGapMs, [this] { return m_bQuit.load(); });
        return true;
    }
    if (recver->SendDescribe() < 0) {
        DebugTrace("remote source: no connection to %s:%d\r\n", m_strServer.c_str(), m_nPort);
        return false;
    }
    AwaitDescription();
    return true;
}

void MediaPlayer::SendRemoteSeek(int seconds) {
    RemoteRecver* recver = m_pRecver;
    if (!recver)
        return;
    std::lock_guard<std::mutex> order(m_requestMutex);
    recver->SendSeek(seconds);
    std::lock_guard<std::mutex> lock(m_countMutex);
    m_nStaleAnswers = m_nFetchesSent - m_nAnswers;
}

// False for an answer to a fetch sent before the last seek. A peer may answer
// more than was asked: answers never count past the fetches, so the number
// still due after a seek cannot wrap around and discard everything after it.
bool MediaPlayer::CountAnswer() {
    if (m_nAnswers < m_nFetchesSent)
        ++m_nAnswers;
    if (m_nStaleAnswers == 0)
        return true;
    --m_nStaleAnswers;
    return false;
}

int MediaPlayer::OnStreamInfo(ByteStream& reader, RemoteRecver* recver) {
    if (recver != m_pRecver) {
        recver->Close();
        return -1;
    }
    // The feeder asks again every second until the answer is in; a later
    // answer must not replace decoders that may be decoding: it only says
    // the description is known again.
    if (m_bDescribed.exchange(true)) {
        m_bInfoReady = true;
        m_feederWake.Notify();
        return 0;
    }
    StreamDescription desc;
    reader.Seek(kPkgBodyOffset);
    ParseStreamDescription(reader, desc);

    // No package flows before the description is ready, so the decode
    // threads take nothing while their decoders are opened here.
    const StreamDescription::Audio& a = desc.audio;
    double audioTimeBase = Ratio(a.codecTimeBase, kDefaultTimeBase);
    if (a.streamTimeBase.den)
        audioTimeBase = Ratio(a.streamTimeBase, kDefaultTimeBase);
    if (AVCodecContext* ctx = AudioContext(a)) {
        m_audio.OpenStream(ctx, true, audioTimeBase);
        m_clock.Restart(0.0, m_audioPkts.Serial());
    } else {
        m_audio.CloseStream(audioTimeBase);
    }

    const StreamDescription::Video& v = desc.video;
    double videoTimeBase = Ratio(v.codecTimeBase, kDefaultTimeBase);
    if (v.streamTimeBase.den > 0)
        videoTimeBase = Ratio(v.streamTimeBase, kDefaultTimeBase);
    m_video.SetStream(videoTimeBase, v.nFps);
    m_nDuration = v.nDuration;
    if (AVCodecContext* ctx = VideoContext(v); ctx && !m_video.Open(ctx, true))
        DebugTrace("Open Video Error!\r\n");

    m_bInfoReady = true;
    m_feederWake.Notify();
    return 0;
}

int MediaPlayer::OnMediaPackage(AVPacket* pkt, int, int bVideo, RemoteRecver* recver) {
    if (recver != m_pRecver) {
        recver->Close();
        av_packet_free(&pkt);
        return -1;
    }
    // Stamps travel as their low 32 bits: a sender's negative stamp (an
    // encoder's priming) arrives as a large one. From here on they are
    // 64-bit stamps like a local file's.
    for (int64_t* stamp : {&pkt->pts, &pkt->dts})
        if (*stamp != AV_NOPTS_VALUE)
            *stamp = static_cast<int32_t>(static_cast<uint32_t>(*stamp));
    std::lock_guard<std::mutex> lock(m_countMutex);
    if (!CountAnswer()) {
        av_packet_free(&pkt);
        return 0;
    }
    if (!m_bStartKnown.exchange(true) && pkt->pts != AV_NOPTS_VALUE) {
        m_dStartTime = double(pkt->pts) * (bVideo == 1 ? m_video.TimeBase() : m_audio.TimeBase());
        if (!m_clock.Decoded())
            m_clock.Restart(m_dStartTime, m_audioPkts.Serial());
    }
    QueuePackage(pkt, bVideo == 1);
    return 0;
}

int MediaPlayer::OnStreamEnd(ByteStream&, RemoteRecver* recver) {
    if (recver != m_pRecver) {
        recver->Close();
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_countMutex);
    if (CountAnswer())
        SetEnded(true);
    return 0;
}
