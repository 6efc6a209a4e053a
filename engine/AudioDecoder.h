#pragma once
// The audio stream's decoder: packages to PCM the output plays, written in
// pieces of at most kMaxPcmPiece bytes, each decoded frame anchoring the
// audio clock to where the output put it.
//
// Threads: OpenStream and Reset on the controlling thread with the thread
// stopped; the observers from any thread; the rest on its own thread.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "engine/Decoder.h"
#include "engine/FfmpegPtr.h"
#include "engine/PcmConverter.h"
#include "engine/Tempo.h"

class SoundClock;

class AudioDecoder final : public Decoder {
public:
    static constexpr int kMaxPcmPiece = 10240;  // bytes per AudioWritePcm call
    // Packages awaited after the queue ran dry, unless the medium has ended.
    static constexpr int kAudioReserve = 5;
    // Pieces refused in a row after which the output counts as absent (no
    // device): the medium is then paced as one without sound.
    static constexpr int kRefusedPiecesNoOutput = 50;
    // Audio the output can play.
    static constexpr int kMinSampleRate = 1000;
    static constexpr int kMaxSampleRate = 384000;

    // onDecodedSound: called after sound decoded since the last restart has
    // anchored the clock (the presenter may be waiting for it).
    // videoPkts is only counted in the trace.
    AudioDecoder(PacketQueue& pkts, const PacketQueue& videoPkts, SoundClock& clock,
                 std::function<void()> onDecodedSound);
    ~AudioDecoder() override { Join(); }

    // Empty when the output can play this rate and channel count, else why not.
    static std::string FormatError(int sampleRate, int channels);
    // Announces the stream's format to the output and opens its decoder.
    // Sound the output cannot play is refused before a device is opened for
    // it (and the context, when owned, released). True when the stream will
    // be heard; `opened` tells whether a decoder was opened.
    bool OpenStream(AVCodecContext* ctx, bool owned, double timeBase, bool* opened = nullptr) {
        return Open(ctx, owned, timeBase, opened, true);
    }
    // The same for another stream of the medium playing (ctx borrowed): the
    // output hears of it only when its format changes, so a device that
    // plays on is not started again.
    bool SwitchStream(AVCodecContext* ctx, double timeBase) { return Open(ctx, false, timeBase, nullptr, false); }

    // Closes the decoder; nothing is heard until the next OpenStream.
    void CloseStream(double timeBase);

    // The stream feeds the output (opened, and the output takes its sound).
    bool Audible() const { return m_bAudible; }
    // The queue ran dry and no package has been taken since.
    bool Starving() const { return m_bStarving; }
    // Plays faster or slower (1 as recorded), the pitch kept; from the
    // sound decoded next on. Any thread.
    void SetSpeed(double speed) { m_dSpeed = speed; }

    // Stamp in seconds of the sound decoded last.
    double LastStamp() const { return m_dLastStamp; }
    double TimeBase() const { return m_dTimeBase; }
    void ResetLastStamp() { m_dLastStamp = 0.0; }

private:
    bool Open(AVCodecContext* ctx, bool owned, double timeBase, bool* opened, bool announce);
    void Run() override;
    void Decode(const AVPacket& pkt);
    void OnFlush() override { m_tempo.Reset(); }
    // Plays the frame at the speed asked for.
    void Play(AVFrame* frame, double stamp);
    void Write(const AVFrame& frame, double stamp);
    void WritePieces(const uint8_t* data, int length);

    const PacketQueue& m_videoPkts;
    SoundClock& m_clock;
    std::function<void()> m_onDecodedSound;
    std::atomic<double> m_dTimeBase{0.001};
    std::atomic<bool> m_bAudible{false};
    std::atomic<bool> m_bStarving{false};
    std::atomic<double> m_dLastStamp{0.0};
    // Decode thread only.
    AVFramePtr m_pFrame{av_frame_alloc()};
    PcmConverter m_converter;
    Tempo m_tempo;
    std::vector<Tempo::Out> m_tempoOut;
    double m_dSpeedInUse = 1.0;
    std::atomic<double> m_dSpeed{1.0};
    std::atomic<double> m_dOutBytesPerSec{0.0};  // of the format announced to the output
    struct OutFormat {
        int channels, rate, bytesPerSample;
        bool operator==(const OutFormat&) const = default;
    };
    OutFormat m_announced{0, 0, 0};  // controlling thread
    int m_nRefusedPieces = 0;
    bool m_bAnchorPending = false;  // the frame being written starts at
    double m_dPendingStamp = 0.0;   // this stamp, anchored once the output has taken its first piece
};
