#pragma once
// The playback controller: one per process. It plays a local file through its
// own VideoDemuxer with four worker threads (feeder, video decode, audio
// decode, presentation) around three queues guarded by one mutex.
//
// Threads: OpenLocal, Stop and Seek run on the controlling thread (the UI
// thread, or a headless host's main thread) and must never be called from a
// worker thread. Flags and clocks are atomics written by one side and read
// by the others. An idle worker sleeps on its own WakeSignal over m_mutex
// until what it waits for is there; Stop, SetPause and Seek wake them all.

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "engine/RecverSink.h"
#include "platform/SeqLock.h"
#include "platform/WakeSignal.h"

extern "C" {
struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;
}

class VideoDemuxer;
struct VideoFrame;

// Conversion state of the audio decode thread: at most two channels of
// unsigned 8-bit or signed 16-bit samples, rate unchanged.
struct AudioResampleState {
    SwrContext* pCtx = nullptr;
    int nOutChannels = 0;
    int nOutFmt = 0;       // 0 unsigned 8-bit, 1 signed 16-bit (wire sample formats)
    int nInChannels = 0;
    int nInFmt = -1;       // FFmpeg sample format it was made for
    int nRate = 0;         // sample rate it was made for (in and out)
};

class MediaPlayer : public RecverSink {
public:
    // Queue and buffer limits.
    static constexpr int kMaxQueuedPkgs = 100;     // audio and video packages together
    static constexpr int kRefillBatch = 10;        // a full feeder waits for room for this many
    static constexpr int kMaxQueuedFrames = 30;    // decoded pictures
    static constexpr int kAudioReserve = 5;        // packages needed after the audio queue ran dry
    static constexpr int kMaxPcmPiece = 10240;     // bytes per AudioWritePcm call
    static constexpr int kSamplesBufSize = 384000; // decoder output buffer
    static constexpr int kDropRunLimit = 40;       // runs of this many packages or fewer are dropped
    static constexpr int kMaxSkipCount = 4;        // cap of VideoFrame::nSkipped
    static constexpr int kMaxConvertedChunk = 1048576; // converted PCM of this size or more is dropped
    // Audio the output can play (a remote description's included).
    static constexpr int kMinSampleRate = 1000;
    // Pieces refused in a row after which the output counts as absent (no
    // device): the medium is then paced as one without audio.
    static constexpr int kRefusedPiecesNoOutput = 50;
    static constexpr int kMaxSampleRate = 384000;

    // Timed pauses of the remote source, in ms.
    static constexpr int kDescribeWaitMs = 1000;   // remote: between describe requests
    static constexpr int kFetchGapMs = 5;          // remote: after each fetch request

    MediaPlayer();
    ~MediaPlayer();
    MediaPlayer(const MediaPlayer&) = delete;
    MediaPlayer& operator=(const MediaPlayer&) = delete;

    // Controlling thread only.
    int OpenLocal(const char* path);
    int Stop();
    int Seek(int seconds);
    // Remote source: plays medium `name` of the sender at address:port,
    // paused until Play. -1 for a null address or name.
    int StartPlay(const char* address, int port, const char* name);
    // Installs how StartPlay makes receivers (the control layer does, before
    // any StartPlay). Without one, StartPlay plays nothing.
    void SetRecverFactory(RecverFactory factory) { m_recverFactory = std::move(factory); }
    // True while playing remotely from a receiver that never connected or
    // whose connection has ended: nothing more will arrive. Controlling thread.
    bool RemoteSourceEnded();

    // RecverSink: the current receiver's receive thread. Answers of a
    // receiver that is no longer current are refused (-1) and it is closed.
    int OnMediaPackage(AVPacket* pkt, int codecId, int bVideo, RemoteRecver* recver) override;
    int OnStreamInfo(ByteStream& reader, RemoteRecver* recver) override;
    int OnStreamEnd(ByteStream& reader, RemoteRecver* recver) override;

    // --- state read by the entry functions and by hosts (any thread) ---
    std::atomic<bool> m_bPause{true};
    std::atomic<bool> m_bInfoReady{false};
    std::atomic<bool> m_bEnd{false};
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bLocal{false};
    std::atomic<int> m_nDuration{0};
    std::atomic<double> m_dVideoClock{0.0};
    std::atomic<double> m_dAudioClock{0.0};

    // The stamp in seconds of the sound being heard now: the stamp of the PCM
    // decoded last minus the PCM still queued behind it in the output. A
    // medium without audio has the video clock. Any thread, lock-free.
    double HeardClock() const;
    // The sound has played out and no more is decoded (its stream ended
    // before the pictures', or has a stretch without packages): the pictures
    // are then paced by the wall clock. Any thread, lock-free.
    bool SoundOver() const;
    // Playing position in seconds from the medium's start time. Any thread.
    double Position() const { return HeardClock() - m_dStartTime; }
    // Controlling thread: sets m_bPause and pauses or resumes the audio output.
    void SetPause(bool paused);
    // Any thread, m_mutex not held: appends a package to its queue and wakes
    // its decoder when it waits for one (the feeder and tests).
    void QueuePackage(AVPacket* pkt, bool bVideo);
    // Empty when the audio output can play this rate and channel count, else why not.
    static std::string AudioFormatError(int sampleRate, int channels);

    std::atomic<double> m_dStartTime{0.0};  // the medium's first stamp, seconds
    // Remote: false until the first package has told the start time (a
    // description does not); a seek before it leaves the start at 0.
    std::atomic<bool> m_bStartKnown{true};
    std::atomic<bool> m_bHasAudio{false};   // an opened audio decoder feeds the output

    // Ties the output's byte count to media time: the PCM accepted from
    // nBytes on plays from dStamp on, at dBytesPerSec. bDecoded: set by the
    // audio decoder (not by an open or a seek).
    struct AudioAnchor {
        double dStamp;
        uint64_t nBytes;
        double dBytesPerSec;
        bool bDecoded;
    };
    // The PCM accepted from byte `bytes` of the output on (by default from
    // now on) plays from `stamp`. Ignored when a seek has happened since
    // `serial` was read. Any thread.
    void AnchorAudio(double stamp, unsigned serial, bool decoded, uint64_t bytes = kBytesNow);
    static constexpr uint64_t kBytesNow = ~uint64_t(0);

    // Queue lengths, read under m_mutex (for hosts waiting for a drain, tests).
    int QueuedAudioPkgs();
    int QueuedVideoPkgs();
    int QueuedFrames();

    // Raised by Seek as it empties the queues. Each decode thread flushes its
    // decoder before its next package when the value differs from the one it
    // saw last, so pictures and sound held inside the decoder from before the
    // seek are dropped; a package taken before it changed is not decoded, and
    // what was being decoded when it changed is not queued.
    std::atomic<unsigned> m_nSeekSerial{0};

    // Set by the audio decode thread once its queue ran dry, until it takes a
    // package again; meanwhile it waits for kAudioReserve packages, or for
    // one at the end of the medium (any thread may read).
    std::atomic<bool> m_bAudioStarving{false};

    // Decoding statistics (any thread).
    std::atomic<int> m_nFramesDecoded{0};   // pictures produced by the video decoder

    // --- members shared with the worker threads ---
    std::string m_strServer;
    int m_nPort = 0;
    std::string m_strMedia;

    std::mutex m_mutex;                     // the one lock over the three queues
    std::list<AVPacket*> m_audioPkgs;
    std::list<AVPacket*> m_videoPkgs;
    std::list<VideoFrame*> m_frames;

    VideoDemuxer* m_pDemuxer = nullptr;     // owned, created on the first local open
    // Owned; replaced by StartPlay, released by Stop. Read by the feeder and
    // the callbacks while the threads run; changed only with them joined.
    std::atomic<RemoteRecver*> m_pRecver{nullptr};

    int m_nVideoCodecId = 0;                // FFmpeg codec ids of the open medium
    int m_nAudioCodecId = 0;
    const AVCodec* m_pAudioCodec = nullptr;
    const AVCodec* m_pVideoCodec = nullptr;
    AVCodecContext* m_pAudioCodecCtx = nullptr; // local mode: borrowed from m_pDemuxer
    AVCodecContext* m_pVideoCodecCtx = nullptr;
    bool m_bOwnCodecCtx = false;            // remote mode: the contexts are ours to free

    AVFrame* m_pFrame = nullptr;            // decoder output, reused (video thread)
    AVFrame* m_pAudioFrame = nullptr;       // decoder output, reused (audio thread)
    uint8_t* m_pSamples = nullptr;          // kSamplesBufSize bytes (audio thread)
    AudioResampleState m_resample;

    std::atomic<double> m_dVideoTimeBase{0.001};
    std::atomic<double> m_dAudioTimeBase{0.001};
    int m_nCodedWidth = 0;
    int m_nCodedHeight = 0;
    std::atomic<int> m_nFps{24};

    // Frame interval estimation and decode counters (video decode thread).
    std::atomic<int> m_nFrameInterval{40};  // ms; read by the presentation thread
    bool m_bIntervalLocked = false;
    int m_nSkip = 0;
    int m_nTotalFram = 0;
    int m_nNoPicture = 0;
    bool m_bNewestValid = false;            // a picture was decoded since the start or the last seek
    double m_dNewestPicture = 0.0;          // its stamp, seconds

    // --- video (VideoDecode.cpp) ---
    // Video decode thread only. The caller keeps ownership of pkt.
    int DecodeVideoPacket(AVPacket* pkt);
    // Video decode thread; take m_mutex themselves.
    void DropFrames();
    void UpdateFrameInterval();
    // Sleep after a presented picture, in ms, for video clock V and audio
    // clock A in seconds and interval i in ms; -1 means free-running.
    static int PacingSleepMs(double V, double A, int i);
    // Free-running sleep in ms: averageGapMs is the mean time between
    // presentations since the shown count restarted, negative when no
    // presentation time was recorded yet; intervalMs is I.
    static int FreeRunSleepMs(double averageGapMs, double intervalMs);
    // Interval I in ms for a picture: the frame interval (or 1000 / fps when
    // it is not positive), times nSkipped + 1.
    static double ShowIntervalMs(int frameInterval, int fps, int skipped);

    // --- audio (AudioDecode.cpp) ---
    // Audio decode thread only. The caller keeps ownership of pkt.
    int DecodeAudioPacket(AVPacket* pkt);
    // Converts to at most 2 channels of U8/S16 and writes pieces of at most
    // kMaxPcmPiece bytes to AudioWritePcm. fmt is an FFmpeg AVSampleFormat;
    // planar input arrives as one pointer per plane.
    int WriteAudioPcm(int channels, int fmt, int rate, const uint8_t* const* planes, int samplesPerChannel);

private:
    enum ThreadSlot { kFeeder, kVideoDecode, kAudioDecode, kPresent, kThreadCount };
    std::thread m_threads[kThreadCount];

    void StartThreads();
    // Empties the three queues; for a seek it raises m_nSeekSerial in the
    // same step (and returns it), so that a package was queued before the
    // seek exactly when it was taken under an older serial.
    unsigned FlushQueues(bool seek = false);
    // The workers' signals (over m_mutex) and who raises them.
    WakeSignal m_feederWake{m_mutex};   // room among the packages, a description
    WakeSignal m_videoWake{m_mutex};    // a video package with room among the pictures
    WakeSignal m_audioWake{m_mutex};    // audio packages, the end of the medium
    WakeSignal m_presentWake{m_mutex};  // a picture; the sound reaching the first one
    std::atomic<bool> m_bAwaitingSound{false};  // the presentation thread waits for the sound
    // Wakes every worker to look at m_bQuit, m_bPause, m_bEnd and the seek serial.
    void WakeWorkers();
    // Under m_mutex: queues a package, and takes the first one of a queue;
    // each returns the signal to wake once m_mutex is released, or null.
    WakeSignal* QueueLocked(AVPacket* pkt, bool bVideo);
    AVPacket* TakeLocked(std::list<AVPacket*>& queue, WakeSignal*& wake);
    void SetEnd();                          // m_bEnd, m_mutex not held
    // Presentation thread: waits ms unless stop, pause or a seek comes first;
    // and waits for the sound to reach a stamp, at most kStartSyncMaxMs.
    void PacingWait(int ms, unsigned serial);
    void AwaitSound(double stamp, unsigned serial);
    bool OpenAudioOutput(const AVCodecContext* ctx);
    bool DecodingBehind() const;            // video decode thread
    // The audio decoder has set the clock since the open or the last seek,
    // and the sound heard has reached `stamp`.
    bool SoundReached(double stamp) const;
    void CloseDecoders();
    void ReleaseCodecContexts();
    void OpenDecoder(AVCodecContext* ctx, const AVCodec** codec);
    void WritePcmPieces(const uint8_t* data, int length);

    void FeederThread();
    void ReleaseRecver();                   // RemoteSource.cpp, threads joined
    bool RemoteWaitStep();                  // RemoteSource.cpp, feeder thread
    bool RemoteFetchStep();                 // RemoteSource.cpp, feeder thread
    void AwaitDescription();                // RemoteSource.cpp, feeder thread
    void SendRemoteSeek(int seconds);       // RemoteSource.cpp, controlling thread
    bool CountAnswer();                     // RemoteSource.cpp, under m_mutex
    RecverFactory m_recverFactory;
    // Fetches already on the wire when a seek goes out are answered from the
    // old position (or with an end); those answers are counted and dropped.
    // m_requestMutex keeps fetches and seeks in wire order with the counts.
    std::mutex m_requestMutex;
    // Held by the feeder from a read to its queueing and by Seek, so no
    // package read before a seek is queued after it.
    std::mutex m_feedMutex;
    std::mutex m_anchorMutex;               // writers of m_audioAnchor and m_nSeekSerial
    SeqLock<AudioAnchor> m_audioAnchor;
    std::atomic<double> m_dOutBytesPerSec{0.0};  // of the format announced to the output
    unsigned m_nWriteSerial = 0;            // audio decode thread: seek serial of the PCM being written
    int m_nRefusedPieces = 0;               // audio decode thread
    bool m_bAnchorPending = false;          // audio decode thread: the frame being written starts at
    double m_dPendingStamp = 0.0;           // this stamp, anchored once the output has taken its first piece
    // Remote: the first description has set up the decoders; later ones
    // (receive thread) change nothing. Reset by StartPlay.
    std::atomic<bool> m_bDescribed{false};
    uint64_t m_nFetchesSent = 0;            // under m_mutex
    uint64_t m_nAnswers = 0;                // under m_mutex
    uint64_t m_nStaleAnswers = 0;           // under m_mutex
    void VideoDecodeThread();   // VideoDecode.cpp
    void PresentThread();       // VideoDecode.cpp
    void AudioDecodeThread();   // AudioDecode.cpp
};
