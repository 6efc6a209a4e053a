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
constexpr int kDefaultRemoteFps = 24;

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
    ctx->debug = 0;  // motion-vector debugging no longer exists in this library generation
    ctx->skip_idct = AVDISCARD_DEFAULT;
    ctx->skip_frame = AVDISCARD_DEFAULT;
}

} // namespace

int MediaPlayer::StartPlay(const char* address, int port, const char* name) {
    SetPause(true);
    m_dAudioClock = 0.0;
    m_dVideoClock = 0.0;
    m_bInfoReady = false;
    if (!address || !name)
        return -1;
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
            std::lock_guard<std::mutex> lock(m_mutex);
            m_nFetchesSent = m_nAnswers = m_nStaleAnswers = 0;
        }
        m_pRecver = recver;
    }
    m_bQuit = false;
    m_bEnd = false;
    m_bLocal = false;
    m_bDescribed = false;
    m_bHasAudio = false;
    m_dStartTime = 0.0;
    m_bStartKnown = false;
    StartThreads();
    return 0;
}

bool MediaPlayer::RemoteSourceEnded() {
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
        std::unique_lock<std::mutex> lock(m_mutex);
        m_feederWake.Wait(lock, [this] { return m_bQuit.load(); });
        return true;
    }
    if (m_bInfoReady) {
        {
            std::lock_guard<std::mutex> order(m_requestMutex);
            bool sent = recver->SendFetchMediaPkgRsq() == 0;
            std::lock_guard<std::mutex> lock(m_mutex);
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
    std::lock_guard<std::mutex> lock(m_mutex);
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
    // The feeder asks again every second until the answer is in, and again
    // after a refused local open cleared m_bInfoReady; a later answer must
    // not replace decoders that may be decoding: it only says the
    // description is known again.
    if (m_bDescribed.exchange(true)) {
        m_bInfoReady = true;
        m_feederWake.Notify();
        return 0;
    }
    StreamDescription desc;
    reader.Seek(kPkgBodyOffset);
    ParseStreamDescription(reader, desc);

    ReleaseCodecContexts();
    m_bOwnCodecCtx = true;
    m_dAudioTimeBase = kDefaultTimeBase;
    m_dVideoTimeBase = kDefaultTimeBase;
    m_nFps = kDefaultRemoteFps;

    const StreamDescription::Audio& a = desc.audio;
    m_pAudioCodecCtx = avcodec_alloc_context3(nullptr);
    m_nAudioCodecId = a.nCodecId;
    m_dAudioTimeBase = Ratio(a.codecTimeBase, kDefaultTimeBase);
    if (a.streamTimeBase.den)
        m_dAudioTimeBase = Ratio(a.streamTimeBase, kDefaultTimeBase);
    if (a.bPresent && m_pAudioCodecCtx) {
        AVCodecContext* ctx = m_pAudioCodecCtx;
        ctx->codec_type = AVMEDIA_TYPE_AUDIO;
        ctx->codec_id = AVCodecID(a.nCodecId);
        ctx->block_align = a.nBlockAlign;
        av_channel_layout_default(&ctx->ch_layout, a.nChannels);
        ctx->sample_rate = a.nSampleRate;
        ctx->sample_fmt = AVSampleFormat(a.nSampleFmt);
        ctx->time_base = AVRational{a.codecTimeBase.num, a.codecTimeBase.den};
        ctx->pkt_timebase = AVRational{a.streamTimeBase.num, a.streamTimeBase.den};
        if (OpenAudioOutput(ctx)) {
            SetExtradata(ctx, a.extradata);
            const AVCodec* codec = avcodec_find_decoder(ctx->codec_id);
            if (codec && avcodec_open2(ctx, codec, nullptr) == 0)
                m_pAudioCodec = codec;
            m_bHasAudio = m_pAudioCodec != nullptr;
            AnchorAudio(0.0, m_nSeekSerial, false);
        }
    }

    const StreamDescription::Video& v = desc.video;
    m_pVideoCodecCtx = avcodec_alloc_context3(nullptr);
    m_nVideoCodecId = v.nCodecId;
    m_nFps = v.nFps;
    m_dVideoTimeBase = Ratio(v.codecTimeBase, kDefaultTimeBase);
    m_nDuration = v.nDuration;
    m_nCodedWidth = v.nWidth;
    m_nCodedHeight = v.nHeight;
    if (v.streamTimeBase.den > 0)
        m_dVideoTimeBase = Ratio(v.streamTimeBase, kDefaultTimeBase);
    if (v.bPresent && m_pVideoCodecCtx) {
        AVCodecContext* ctx = m_pVideoCodecCtx;
        ctx->codec_type = AVMEDIA_TYPE_VIDEO;
        ctx->codec_id = AVCodecID(v.nCodecId);
        ctx->coded_width = ctx->width = v.nWidth;
        ctx->coded_height = ctx->height = v.nHeight;
        ctx->sample_fmt = AVSampleFormat(v.nFormat);
        ctx->time_base = AVRational{v.codecTimeBase.num, v.codecTimeBase.den};
        ctx->pkt_timebase = AVRational{v.streamTimeBase.num, v.streamTimeBase.den};
        SetExtradata(ctx, v.extradata);
        ApplyRemoteVideoOptions(ctx);
        const AVCodec* codec = avcodec_find_decoder(ctx->codec_id);
        if (codec && avcodec_open2(ctx, codec, nullptr) == 0)
            m_pVideoCodec = codec;
        else
            DebugTrace("Open Video Error!\r\n");
    }
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
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!CountAnswer()) {
        av_packet_free(&pkt);
        return 0;
    }
    if (!m_bStartKnown.exchange(true) && pkt->pts != AV_NOPTS_VALUE) {
        m_dStartTime = static_cast<int32_t>(pkt->pts) * (bVideo == 1 ? m_dVideoTimeBase : m_dAudioTimeBase);
        if (!m_audioAnchor.Read().bDecoded)
            AnchorAudio(m_dStartTime, m_nSeekSerial, false);
    }
    if (WakeSignal* wake = QueueLocked(pkt, bVideo == 1)) {
        lock.unlock();
        wake->Wake();
    }
    return 0;
}

int MediaPlayer::OnStreamEnd(ByteStream&, RemoteRecver* recver) {
    if (recver != m_pRecver) {
        recver->Close();
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (CountAnswer()) {
        m_bEnd = true;
        m_audioWake.Wake();
    }
    return 0;
}
