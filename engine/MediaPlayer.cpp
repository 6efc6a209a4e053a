#include "engine/MediaPlayer.h"

#include <algorithm>
#include <string>

#include "engine/FfmpegPtr.h"
#include "engine/VideoDemuxer.h"
#include "engine/VideoFrame.h"
#include "output/OutputHooks.h"
#include "platform/Trace.h"
#include "platform/ThreadName.h"

extern "C" {
#include <libavutil/mem.h>
}

// Seconds per time-stamp unit until the next open sets the real ones.
static constexpr double kNeutralTimeBase = 1000.0;
static constexpr double kOpenTimeBase = 0.001;

MediaPlayer::MediaPlayer() {
    m_pFrame = av_frame_alloc();
    m_pAudioFrame = av_frame_alloc();
    m_pSamples = static_cast<uint8_t*>(av_malloc(kSamplesBufSize));
}

MediaPlayer::~MediaPlayer() {
    // std::thread must not be destroyed while joinable; a host that forgot to
    // stop playback gets the threads joined here.
    if (std::any_of(std::begin(m_threads), std::end(m_threads), [](const std::thread& t) { return t.joinable(); }))
        Stop();
    ReleaseRecver();
    FlushQueues();
    ReleaseCodecContexts();
    av_frame_free(&m_pFrame);
    av_frame_free(&m_pAudioFrame);
    av_freep(&m_pSamples);
    swr_free(&m_resample.pCtx);
    delete m_pDemuxer;
}

int MediaPlayer::QueuedAudioPkgs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_audioPkgs.size());
}

int MediaPlayer::QueuedVideoPkgs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_videoPkgs.size());
}

int MediaPlayer::QueuedFrames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_frames.size());
}

std::string MediaPlayer::AudioFormatError(int sampleRate, int channels) {
    if (channels <= 0)
        return "audio with " + std::to_string(channels) + " channels";
    if (sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate)
        return "audio at " + std::to_string(sampleRate) + " Hz (" + std::to_string(kMinSampleRate) + " to " +
               std::to_string(kMaxSampleRate) + " Hz can be played)";
    return "";
}

// Tells the output the format of the decoded sound; audio it cannot play is
// refused here, before a device is opened for it.
bool MediaPlayer::OpenAudioOutput(const AVCodecContext* ctx) {
    const int channels = ctx->ch_layout.nb_channels;
    if (std::string error = AudioFormatError(ctx->sample_rate, channels); !error.empty()) {
        DebugTrace("audio refused: %s\r\n", error.c_str());
        return false;
    }
    AVSampleFormat packed = av_get_packed_sample_fmt(ctx->sample_fmt);
    int bytesPerSample = ctx->sample_fmt == AV_SAMPLE_FMT_NONE ? 0 : packed == AV_SAMPLE_FMT_U8 ? 1 : 2;
    AudioSetFormat(std::min(channels, 2), ctx->sample_rate, bytesPerSample);
    m_dOutBytesPerSec = double(ctx->sample_rate) * std::min(channels, 2) * (bytesPerSample == 1 ? 1 : 2);
    return true;
}

void MediaPlayer::AnchorAudio(double stamp, unsigned serial, bool decoded, uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(m_anchorMutex);
        if (serial != m_nSeekSerial)
            return;
        m_audioAnchor.Write(
            AudioAnchor{stamp, bytes == kBytesNow ? AudioBytesAccepted() : bytes, m_dOutBytesPerSec, decoded});
    }
    // Only the audio decode thread anchors decoded sound, never under m_mutex.
    if (decoded && m_bAwaitingSound)
        m_presentWake.Notify();
}

double MediaPlayer::HeardClock() const {
    if (!m_bHasAudio)
        return m_dVideoClock;
    const AudioAnchor anchor = m_audioAnchor.Read();
    if (!(anchor.dBytesPerSec > 0))
        return anchor.dStamp;
    // Negative while PCM accepted after the anchor still waits in the output.
    const auto heardSince = static_cast<int64_t>(AudioBytesHeard() - anchor.nBytes);
    const double heard = anchor.dStamp + double(heardSince) / anchor.dBytesPerSec;
    // Where the sound has ended before the pictures, they carry the position.
    return SoundOver() ? std::max(heard, m_dVideoClock.load()) : heard;
}

bool MediaPlayer::SoundOver() const {
    return m_bHasAudio && m_bAudioStarving && m_audioAnchor.Read().bDecoded &&
           AudioBytesHeard() >= AudioBytesAccepted();
}

void MediaPlayer::SetPause(bool paused) {
    m_bPause = paused;
    AudioPause(paused);
    WakeWorkers();
}

void MediaPlayer::WakeWorkers() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
    }
    for (WakeSignal* signal : {&m_feederWake, &m_videoWake, &m_audioWake, &m_presentWake})
        signal->Wake();  // the empty section above orders it after the flags
}

void MediaPlayer::QueuePackage(AVPacket* pkt, bool bVideo) {
    WakeSignal* wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wake = QueueLocked(pkt, bVideo);
    }
    if (wake)
        wake->Wake();
}

// A decoder waits for the first package of an empty queue; the audio decoder
// after running dry also for its reserve.
WakeSignal* MediaPlayer::QueueLocked(AVPacket* pkt, bool bVideo) {
    std::list<AVPacket*>& queue = bVideo ? m_videoPkgs : m_audioPkgs;
    queue.push_back(pkt);
    if (bVideo)
        return queue.size() == 1 ? &m_videoWake : nullptr;
    return queue.size() == 1 || queue.size() == size_t(kAudioReserve) ? &m_audioWake : nullptr;
}

// A full feeder waits until there is room for a batch of packages.
AVPacket* MediaPlayer::TakeLocked(std::list<AVPacket*>& queue, WakeSignal*& wake) {
    AVPacket* pkt = queue.front();
    queue.pop_front();
    const bool room = m_audioPkgs.size() + m_videoPkgs.size() == size_t(kMaxQueuedPkgs - kRefillBatch);
    wake = room ? &m_feederWake : nullptr;
    return pkt;
}

void MediaPlayer::SetEnd() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bEnd = true;
    }
    m_audioWake.Wake();  // a starving decoder waits for no reserve now
}

void MediaPlayer::OpenDecoder(AVCodecContext* ctx, const AVCodec** codec) {
    *codec = avcodec_find_decoder(ctx->codec_id);
    if (!*codec || avcodec_open2(ctx, *codec, nullptr) < 0) {
        *codec = nullptr;
        DebugTrace("local open codec error!\r\n");
    }
}

int MediaPlayer::OpenLocal(const char* path) {
    SetPause(false);
    m_dAudioClock = 0.0;
    m_dVideoClock = 0.0;
    m_bInfoReady = false;
    if (!path || m_strMedia == path)
        return -1;

    m_strMedia = path;
    Stop();

    if (!m_pDemuxer)
        m_pDemuxer = new VideoDemuxer;
    m_pDemuxer->close();
    // A medium that cannot be opened plays as an empty one that ends at once.
    m_pDemuxer->open(path);

    ReleaseCodecContexts();
    m_nDuration = m_pDemuxer->getDuration();
    m_dAudioTimeBase = kOpenTimeBase;
    m_dVideoTimeBase = kOpenTimeBase;
    m_dAudioClock = 0.0;
    m_dVideoClock = 0.0;
    m_nCodedWidth = m_nCodedHeight = 0;
    m_nFps = m_pDemuxer->getFps();
    m_dStartTime = m_pDemuxer->getStartTime();
    m_bHasAudio = false;
    m_dOutBytesPerSec = 0.0;
    m_pAudioCodecCtx = m_pDemuxer->getAudioCodecCtx();
    m_pVideoCodecCtx = m_pDemuxer->getVideoCodecCtx();
    m_bOwnCodecCtx = false;

    if (AVCodecContext* ctx = m_pAudioCodecCtx) {
        m_dAudioTimeBase = m_pDemuxer->getAudioTimeBase();
        m_nAudioCodecId = ctx->codec_id;
        OpenDecoder(ctx, &m_pAudioCodec);
        if (!OpenAudioOutput(ctx) && m_pAudioCodec) {
            avcodec_close(ctx);
            m_pAudioCodec = nullptr;
        }
        m_bHasAudio = m_pAudioCodec != nullptr;
    }
    AnchorAudio(m_dStartTime, m_nSeekSerial, false);
    if (AVCodecContext* ctx = m_pVideoCodecCtx) {
        m_nCodedWidth = ctx->coded_width ? ctx->coded_width : ctx->width;
        m_nCodedHeight = ctx->coded_height ? ctx->coded_height : ctx->height;
        m_dVideoTimeBase = m_pDemuxer->getVideoTimeBase();
        m_nVideoCodecId = ctx->codec_id;
        OpenDecoder(ctx, &m_pVideoCodec);
    }

    m_bQuit = false;
    m_bEnd = false;
    m_bLocal = true;
    m_bInfoReady = false;
    DebugTrace("local open OK!\r\n");
    StartThreads();
    return 0;
}

void MediaPlayer::StartThreads() {
    void (MediaPlayer::*bodies[kThreadCount])() = {};
    bodies[kFeeder] = &MediaPlayer::FeederThread;
    bodies[kVideoDecode] = &MediaPlayer::VideoDecodeThread;
    bodies[kAudioDecode] = &MediaPlayer::AudioDecodeThread;
    bodies[kPresent] = &MediaPlayer::PresentThread;
    const char* names[kThreadCount] = {"feeder", "video-decode", "audio-decode", "present"};
    for (int i = 0; i < kThreadCount; ++i)
        if (!m_threads[i].joinable()) {
            m_threads[i] = std::thread(bodies[i], this);
            NameThread(m_threads[i], names[i]);
        }
}

int MediaPlayer::Stop() {
    m_bQuit = true;
    WakeWorkers();
    // Also ends the output's back-pressure pause of a decode thread at once.
    AudioFlush();
    m_strMedia.clear();
    for (ThreadSlot slot : {kFeeder, kPresent, kVideoDecode, kAudioDecode})
        if (m_threads[slot].joinable())
            m_threads[slot].join();
    m_bInfoReady = false;
    ReleaseRecver();
    FlushQueues();
    AudioFlush();
    m_nVideoCodecId = 0;
    m_nAudioCodecId = 0;
    CloseDecoders();
    m_nDuration = 0;
    m_dAudioTimeBase = kNeutralTimeBase;
    m_dVideoTimeBase = kNeutralTimeBase;
    return 0;
}

int MediaPlayer::Seek(int seconds) {
    m_bStartKnown = true;
    unsigned serial;
    {
        std::lock_guard<std::mutex> feed(m_feedMutex);
        if (m_pDemuxer)
            m_pDemuxer->seek(seconds);
        SendRemoteSeek(seconds);
        serial = FlushQueues(true);
        m_bEnd = false;
        // Before the feeder can queue the new position's first package.
        AudioFlush();
    }
    AnchorAudio(m_dStartTime + seconds, serial, false);
    SetPause(false);
    return 0;
}

unsigned MediaPlayer::FlushQueues(bool seek) {
    std::list<AVPacket*> audio, video;
    std::list<VideoFrame*> frames;
    unsigned serial;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (seek) {
            std::lock_guard<std::mutex> anchor(m_anchorMutex);
            ++m_nSeekSerial;
        }
        serial = m_nSeekSerial;
        audio.swap(m_audioPkgs);
        video.swap(m_videoPkgs);
        frames.swap(m_frames);
    }
    for (AVPacket* pkt : audio)
        FreePacket(pkt);
    for (AVPacket* pkt : video)
        FreePacket(pkt);
    for (VideoFrame* frame : frames)
        delete frame;
    return serial;
}

void MediaPlayer::CloseDecoders() {
    if (m_pAudioCodec && m_pAudioCodecCtx)
        avcodec_close(m_pAudioCodecCtx);
    if (m_pVideoCodec && m_pVideoCodecCtx)
        avcodec_close(m_pVideoCodecCtx);
    m_pAudioCodec = nullptr;
    m_pVideoCodec = nullptr;
}

// Contexts of a remote medium are ours; those of a local one belong to the demuxer.
void MediaPlayer::ReleaseCodecContexts() {
    if (m_bOwnCodecCtx) {
        avcodec_free_context(&m_pAudioCodecCtx);
        avcodec_free_context(&m_pVideoCodecCtx);
    }
    m_pAudioCodecCtx = nullptr;
    m_pVideoCodecCtx = nullptr;
    m_bOwnCodecCtx = false;
}

void MediaPlayer::FeederThread() {
    while (!m_bQuit) {
        if (m_bEnd || m_bPause) {
            if (!RemoteWaitStep()) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_feederWake.Wait(lock, [this] { return m_bQuit || !(m_bEnd || m_bPause); });
            }
            continue;
        }
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_audioPkgs.size() + m_videoPkgs.size() >= size_t(kMaxQueuedPkgs)) {
                m_feederWake.Wait(lock, [this] {
                    return m_bQuit || m_bEnd || m_bPause ||
                           m_audioPkgs.size() + m_videoPkgs.size() <= size_t(kMaxQueuedPkgs - kRefillBatch);
                });
                continue;
            }
        }
        if (m_bLocal && m_pDemuxer) {
            int bVideo = 0, codecId = 0;
            std::lock_guard<std::mutex> feed(m_feedMutex);
            if (AVPacket* pkt = m_pDemuxer->readPacket(bVideo, codecId))
                QueuePackage(pkt, bVideo != 0);
            else
                SetEnd();
            continue;
        }
        if (!RemoteFetchStep())
            return;
    }
}
