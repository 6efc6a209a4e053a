// Audio decode thread: packages to PCM of at most two channels of U8 or S16,
// written in pieces to the audio output; anchors the audio clock.

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/AudioDecoder.h"
#include "engine/MediaClock.h"
#include "output/OutputHooks.h"
#include "platform/Trace.h"

extern "C" {
#include <libavutil/time.h>
}

AudioDecoder::AudioDecoder(PacketQueue& pkts, const PacketQueue& videoPkts, SoundClock& clock,
                           std::function<void()> onDecodedSound)
    : Decoder(pkts), m_videoPkts(videoPkts), m_clock(clock), m_onDecodedSound(std::move(onDecodedSound)) {}

std::string AudioDecoder::FormatError(int sampleRate, int channels) {
    if (channels <= 0)
        return "audio with " + std::to_string(channels) + " channels";
    if (sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate)
        return "audio at " + std::to_string(sampleRate) + " Hz (" + std::to_string(kMinSampleRate) + " to " +
               std::to_string(kMaxSampleRate) + " Hz can be played)";
    return "";
}

bool AudioDecoder::Open(AVCodecContext* ctx, bool owned, double timeBase, bool* opened, bool announce) {
    m_dTimeBase = timeBase;
    m_bAudible = false;
    m_clock.SetBytesPerSec(0.0);
    if (opened)
        *opened = false;
    if (!ctx)
        return false;
    const int channels = ctx->ch_layout.nb_channels;
    if (std::string error = FormatError(ctx->sample_rate, channels); !error.empty()) {
        DebugTrace("audio refused: %s\r\n", error.c_str());
        Close();
        if (owned)
            avcodec_free_context(&ctx);
        return false;
    }
    const bool ok = Decoder::Open(ctx, owned);
    if (opened)
        *opened = ok;
    const AVSampleFormat packed = av_get_packed_sample_fmt(ctx->sample_fmt);
    const int bytesPerSample = ctx->sample_fmt == AV_SAMPLE_FMT_NONE ? 0 : packed == AV_SAMPLE_FMT_U8 ? 1 : 2;
    const int outChannels = std::min(channels, 2);
    const OutFormat format{outChannels, ctx->sample_rate, bytesPerSample};
    if (announce || format != m_announced)
        AudioSetFormat(outChannels, ctx->sample_rate, bytesPerSample);
    m_announced = format;
    m_dOutBytesPerSec = double(ctx->sample_rate) * outChannels * (bytesPerSample == 1 ? 1 : 2);
    m_dSpeedInUse = m_dSpeed;
    m_tempo.Reset();
    m_clock.SetBytesPerSec(m_dOutBytesPerSec / m_dSpeedInUse);
    m_bAudible = ok;
    return ok;
}

void AudioDecoder::CloseStream(double timeBase) {
    Close();
    m_bAudible = false;
    m_dTimeBase = timeBase;
}

void AudioDecoder::Run() {
    m_bStarving = false;
    m_nRefusedPieces = 0;
    // After running dry, a small reserve is awaited before sound goes on; at
    // the end of the medium no reserve will come (the queue knows). While
    // paused the queue is held: the output would only refuse the sound.
    while (AVPacketPtr pkt = NextPackage(&m_bStarving, kAudioReserve))
        Decode(*pkt);
}

void AudioDecoder::Decode(const AVPacket& pkt) {
    AVCodecContext* ctx = Context();
    if (!IsOpen())
        return;  // no decoder: this stream stays silent
    const int64_t start = av_gettime();
    // The package is consumed whole; an error ends it silently.
    if (Send(pkt) < 0)
        return;
    const int64_t pktStamp = pkt.pts != AV_NOPTS_VALUE ? pkt.pts : pkt.dts != AV_NOPTS_VALUE ? pkt.dts : 0;
    const double tb = m_dTimeBase;
    for (;;) {
        const int64_t decodeStart = av_gettime();
        if (avcodec_receive_frame(ctx, m_pFrame.get()) < 0)
            break;  // needs more input, drained, or a decode error
        const int64_t decoded = av_gettime();
        const AVFrame& frame = *m_pFrame;
        const int got = frame.nb_samples * frame.ch_layout.nb_channels *
                        av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame.format));
        if (got > 0) {
            // The frame's own stamp where the decoder knows it, so the clock
            // is exact for packages that decode to several frames.
            const int64_t best = frame.best_effort_timestamp;
            Play(m_pFrame.get(), double(best != AV_NOPTS_VALUE ? best : pktStamp) * tb);
        }
        if (DebugTraceEnabled()) {
            const AVCodec* codec = ctx->codec;
            DebugTrace("debug avcodec_decode_audio3 time1:%8d time:%8d got:%6d size:%4d pksize:%4d VPkgSize:%3d  "
                       "nAudioPkgSize:%3d pkg->size:%d duration:%f id%d name:%s\r\n",
                       static_cast<int>(decoded - decodeStart), static_cast<int>(av_gettime() - start), got,
                       pkt.size, pkt.size, static_cast<int>(m_videoPkts.Size()), static_cast<int>(m_pkts.Size()), pkt.size, pkt.duration * tb,
                       static_cast<int>(ctx->codec_id), codec && codec->name ? codec->name : "");
        }
        av_frame_unref(m_pFrame.get());
    }
    AfterReceiving(pkt);
}

void AudioDecoder::Play(AVFrame* frame, double stamp) {
    const double speed = m_dSpeed;
    if (speed != m_dSpeedInUse) {
        m_dSpeedInUse = speed;
        m_tempo.Reset();
        m_clock.SetBytesPerSec(m_dOutBytesPerSec / speed);
    }
    m_tempoOut.clear();
    if (speed == 1.0 || !m_tempo.Push(frame, stamp, speed, m_tempoOut)) {
        Write(*frame, stamp);
        return;
    }
    for (Tempo::Out& out : m_tempoOut)
        Write(*out.frame, out.stamp);
}

void AudioDecoder::Write(const AVFrame& frame, double stamp) {
    // After a seek, sound before the target is decoded but not played; the
    // frame holding the target plays from it.
    const int channels = frame.ch_layout.nb_channels;
    int skip = 0;
    if (m_dSkipUntil != -INFINITY && frame.sample_rate > 0) {
        const double ahead = (m_dSkipUntil - stamp) * frame.sample_rate;
        if (ahead >= frame.nb_samples)
            return;
        skip = std::max(0, static_cast<int>(std::lround(ahead)));
        stamp += double(skip) / frame.sample_rate;
        m_dSkipUntil = -INFINITY;
    }
    const int bytesPerSample = av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame.format));
    const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame.format));
    std::vector<const uint8_t*> planes(planar ? channels : 1);
    for (size_t i = 0; i < planes.size(); ++i)
        planes[i] = frame.extended_data[i] + size_t(skip) * bytesPerSample * (planar ? 1 : channels);
    m_dLastStamp = stamp;
    m_dPendingStamp = stamp;
    m_bAnchorPending = true;
    PcmConverter::Pcm pcm;
    if (m_converter.Convert(channels, frame.format, frame.sample_rate, planes.data(), frame.nb_samples - skip, pcm) == 0)
        WritePieces(pcm.data, pcm.length);
}

void AudioDecoder::WritePieces(const uint8_t* data, int length) {
    // A seek drops what the output holds; the rest of this sound is as old.
    // After a stop the output's flush is done: a piece written now would
    // wait for a device that may be reopening, and keep Stop waiting.
    for (int off = 0; off < length && Current() && !m_pkts.Aborted(); off += kMaxPcmPiece) {
        const int n = std::min(kMaxPcmPiece, length - off);
        const uint64_t before = AudioBytesAccepted();
        AudioWritePcm(data + off, n);
        // The frame's stamp belongs to where the output put its first piece:
        // behind the priming when the call waited for the device to open.
        const uint64_t after = AudioBytesAccepted();
        m_nRefusedPieces = after == before ? m_nRefusedPieces + 1 : 0;
        if (m_nRefusedPieces == kRefusedPiecesNoOutput) {
            DebugTrace("audio output refuses the sound: paced without it\r\n");
            m_bAudible = false;
        }
        if (m_bAnchorPending && after - before >= uint64_t(n)) {
            m_bAnchorPending = false;
            m_clock.Anchor(m_dPendingStamp, Serial(), true, after - uint64_t(n));
            m_onDecodedSound();
        }
    }
}
