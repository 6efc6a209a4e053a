// Audio decode thread: packages to PCM of at most two channels of U8 or S16,
// written in pieces to the audio output; sets the audio clock.

#include <algorithm>

#include "engine/FfmpegPtr.h"
#include "engine/MediaPlayer.h"
#include "output/OutputHooks.h"
#include "platform/Trace.h"

extern "C" {
#include <libavutil/time.h>
}

void MediaPlayer::AudioDecodeThread() {
    bool starving = false;
    m_bAudioStarving = false;
    m_nRefusedPieces = 0;
    unsigned seekSerial = m_nSeekSerial;
    // After running dry, a small reserve is awaited before sound goes on; at
    // the end of the medium no reserve will come. While paused nothing is
    // decoded: the output would only refuse the sound.
    const auto ready = [&] {
        const size_t need = starving && !m_bEnd ? size_t(kAudioReserve) : 1;
        return m_bQuit || (!m_bPause && m_audioPkgs.size() >= need);
    };
    while (!m_bQuit) {
        AVPacket* pkt = nullptr;
        WakeSignal* wake = nullptr;
        unsigned taken = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!ready()) {
                if (m_audioPkgs.empty()) {
                    starving = true;
                    m_bAudioStarving = true;
                }
                m_audioWake.Wait(lock, ready);
            }
            if (m_bQuit)
                break;
            pkt = TakeLocked(m_audioPkgs, wake);
            taken = m_nSeekSerial;
        }
        if (wake)
            wake->Wake();
        starving = false;
        m_bAudioStarving = false;
        if (seekSerial != taken) {
            seekSerial = taken;
            if (m_pAudioCodecCtx && avcodec_is_open(m_pAudioCodecCtx))
                avcodec_flush_buffers(m_pAudioCodecCtx);
        }
        if (taken == m_nSeekSerial)  // else queued before a seek that came since
            DecodeAudioPacket(pkt);
        FreePacket(pkt);
    }
}

// Package time stamp: pts, else dts, else 0; only the low 32 bits count.
static int32_t PacketStamp(const AVPacket* pkt) {
    int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts != AV_NOPTS_VALUE ? pkt->dts : 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ts)));
}

int MediaPlayer::DecodeAudioPacket(AVPacket* pkt) {
    if (!pkt)
        return -1;
    AVCodecContext* ctx = m_pAudioCodecCtx;
    if (!m_pAudioCodec || !ctx || !avcodec_is_open(ctx))
        return 0;  // no decoder: this stream stays silent

    int videoQueued = 0, audioQueued = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        videoQueued = static_cast<int>(m_videoPkgs.size());
        audioQueued = static_cast<int>(m_audioPkgs.size());
    }
    m_nWriteSerial = m_nSeekSerial;
    int64_t start = av_gettime();
    // The new API consumes the package whole; an error ends it silently.
    if (avcodec_send_packet(ctx, pkt) < 0)
        return 0;
    const int32_t pktStamp = PacketStamp(pkt);
    double tb = m_dAudioTimeBase;
    for (;;) {
        int64_t decodeStart = av_gettime();
        if (avcodec_receive_frame(ctx, m_pAudioFrame) < 0)
            break;  // needs more input, drained, or a decode error
        int64_t decoded = av_gettime();
        AVFrame* frame = m_pAudioFrame;
        int channels = frame->ch_layout.nb_channels;
        auto fmt = static_cast<AVSampleFormat>(frame->format);
        int got = frame->nb_samples * channels * av_get_bytes_per_sample(fmt);
        if (got > 0) {
            // The frame's own stamp where the decoder knows it, so the clock
            // is exact for packages that decode to several frames.
            const int64_t best = frame->best_effort_timestamp;
            const int32_t stamp = best != AV_NOPTS_VALUE ? static_cast<int32_t>(best) : pktStamp;
            m_dAudioClock = stamp * tb;
            m_dPendingStamp = stamp * tb;
            m_bAnchorPending = true;
            WriteAudioPcm(channels, fmt, frame->sample_rate, frame->extended_data, frame->nb_samples);
        }
        if (DebugTraceEnabled()) {
            const AVCodec* codec = ctx->codec;
            DebugTrace("debug avcodec_decode_audio3 time1:%8d time:%8d got:%6d size:%4d pksize:%4d VPkgSize:%3d  "
                       "nAudioPkgSize:%3d pkg->size:%d duration:%f id%d name:%s\r\n",
                       static_cast<int>(decoded - decodeStart), static_cast<int>(av_gettime() - start), got,
                       pkt->size, pkt->size, videoQueued, audioQueued, pkt->size, pkt->duration * tb,
                       static_cast<int>(ctx->codec_id), codec && codec->name ? codec->name : "");
        }
        av_frame_unref(frame);
    }
    return 0;
}

void MediaPlayer::WritePcmPieces(const uint8_t* data, int length) {
    // A seek drops what the output holds; the rest of this sound is as old.
    // After a stop the output's flush is done: a piece written now would
    // wait for a device that may be reopening, and keep Stop waiting.
    for (int off = 0; off < length && m_nWriteSerial == m_nSeekSerial && !m_bQuit; off += kMaxPcmPiece) {
        const int n = std::min(kMaxPcmPiece, length - off);
        const uint64_t before = AudioBytesAccepted();
        AudioWritePcm(data + off, n);
        // The frame's stamp belongs to where the output put its first piece:
        // behind the priming when the call waited for the device to open.
        const uint64_t after = AudioBytesAccepted();
        m_nRefusedPieces = after == before ? m_nRefusedPieces + 1 : 0;
        if (m_nRefusedPieces == kRefusedPiecesNoOutput) {
            DebugTrace("audio output refuses the sound: paced without it\r\n");
            m_bHasAudio = false;
        }
        if (m_bAnchorPending && after - before >= uint64_t(n)) {
            m_bAnchorPending = false;
            AnchorAudio(m_dPendingStamp, m_nWriteSerial, true, after - uint64_t(n));
        }
    }
}

int MediaPlayer::WriteAudioPcm(int channels, int fmt, int rate, const uint8_t* const* planes, int samplesPerChannel) {
    auto inFmt = static_cast<AVSampleFormat>(fmt);
    int inBytes = av_get_bytes_per_sample(inFmt);
    if (!planes || !planes[0] || channels <= 0 || samplesPerChannel <= 0 || inBytes <= 0)
        return -1;
    AVSampleFormat packed = av_get_packed_sample_fmt(inFmt);
    int outChannels = std::min(channels, 2);
    AVSampleFormat outFmt = packed == AV_SAMPLE_FMT_U8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    bool interleaved = !av_sample_fmt_is_planar(inFmt) || channels == 1;

    if (packed == outFmt && channels <= 2 && interleaved) {
        WritePcmPieces(planes[0], samplesPerChannel * channels * inBytes);
        return 0;
    }

    AudioResampleState& rs = m_resample;
    int outFmtWire = outFmt == AV_SAMPLE_FMT_U8 ? 0 : 1;
    if (!rs.pCtx || rs.nInChannels != channels || rs.nInFmt != fmt || rs.nOutChannels != outChannels ||
        rs.nOutFmt != outFmtWire || rs.nRate != rate) {
        swr_free(&rs.pCtx);
        rs.nInFmt = -1;
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, channels);
        av_channel_layout_default(&outLayout, outChannels);
        int rc = swr_alloc_set_opts2(&rs.pCtx, &outLayout, outFmt, rate, &inLayout, inFmt, rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (rc < 0 || swr_init(rs.pCtx) < 0) {
            swr_free(&rs.pCtx);
            return -1;
        }
        rs.nInChannels = channels;
        rs.nInFmt = fmt;
        rs.nOutChannels = outChannels;
        rs.nOutFmt = outFmtWire;
        rs.nRate = rate;
    }

    int outBytesPerFrame = av_get_bytes_per_sample(outFmt) * outChannels;
    int64_t outSize = static_cast<int64_t>(samplesPerChannel) * outBytesPerFrame;
    if (outSize < 1 || outSize >= kMaxConvertedChunk)
        return 0;  // dropped whole
    // The decoder output buffer takes a usual chunk, so no allocation per package.
    uint8_t* big = nullptr;
    if (outSize > kSamplesBufSize && !(big = static_cast<uint8_t*>(av_mallocz(outSize))))
        return -1;
    uint8_t* out = big ? big : m_pSamples;
    int converted = swr_convert(rs.pCtx, &out, samplesPerChannel, const_cast<const uint8_t**>(planes),
                                samplesPerChannel);
    if (converted >= 0)
        WritePcmPieces(out, converted * outBytesPerFrame);
    av_free(big);
    return converted < 0 ? -1 : 0;
}
