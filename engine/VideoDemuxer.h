#pragma once
// VideoDemuxer: opens one medium, selects one audio and one video stream (the
// one marked default, else the first) and hands out their compressed packets
// one by one. An audio file's cover picture serves as the video stream when
// there is no other: its one package comes after every open and seek (FFmpeg
// queues it again), stamped with the position reading starts from.
//
// Threads: open and the getters run on the owner's thread. readPacket, seek
// and close may be called from different threads; every library call on the
// input runs under one mutex, and close() waits kCloseGraceMs before taking
// it so that a reader that already passed its entry check can finish.
// Packets handed out belong to the caller (release with FreePacket).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;
struct AVStream;
struct AVRational;
}

class VideoDemuxer {
public:
    static constexpr int kDefaultFps = 24;       // when no usable frame rate is found
    static constexpr int kMaxFps = 100;
    static constexpr int kCloseGraceMs = 100;    // lets a running readPacket finish

    VideoDemuxer();
    ~VideoDemuxer();
    VideoDemuxer(const VideoDemuxer&) = delete;
    VideoDemuxer& operator=(const VideoDemuxer&) = delete;

    // 0 on success (also when name is already open), -1 on failure (closed).
    int open(const char* name);
    // Plays audio stream `index` from `seconds` on without disturbing the
    // video: the read goes back to the key package at or before `seconds`
    // and passes over the video packets already handed out. Returns the new
    // stream's decoder context (owned here, like the one it replaces, which
    // is freed), or null, changing nothing, when `index` is no audio stream.
    // Owner's thread, with no decoder using the old context.
    AVCodecContext* switchAudioStream(int index, double seconds);

    // The streams of a kind in the open medium (of subtitles those a decoder
    // reads), and its chapters. Owner's thread.
    struct StreamInfo {
        int index;
        std::string label;  // language and title
        bool selected;
        bool marked;  // the file marks it as the default one
        std::string language, title;  // as the file tags it (either may be empty)
    };
    std::vector<StreamInfo> listStreams(int type) const;
    struct Chapter {
        double start;  // seconds from the medium's start
        std::string title;
    };
    std::vector<Chapter> getChapters() const;
    // "eng - Director's commentary", or "stream N" without either.
    static std::string StreamLabel(const AVStream* st);
    // For names a peer sends: later opens read only a local file through the
    // file protocol, only with a media demuxer (nothing that opens further
    // inputs), and stop waiting once interrupt(opaque) returns non-zero.
    void setPeerInput(int (*interrupt)(void*), void* opaque);
    int close();
    // Next packet of a selected stream, or null at end, on error or when closed.
    // bVideo: 1 video, 0 audio; codecId: FFmpeg codec id of that stream.
    AVPacket* readPacket(int& bVideo, int& codecId);
    // Whole seconds from the medium's start time; -1 when closed.
    int seek(int seconds);
    // The same for a target in seconds that need not be whole; the read goes
    // on from the key package at or before it.
    int seekTo(double seconds);

    // Decoder contexts built from the selected streams' parameters (pkt_timebase
    // set, not opened). Owned here; valid until the next open or close.
    AVCodecContext* getAudioCodecCtx() const { return pAudioCodecCtx; }
    AVCodecContext* getVideoCodecCtx() const { return pVideoCodecCtx; }
    AVStream* getAudioStream() const { return pAudioStream; }
    AVStream* getVideoStream() const { return pVideoStream; }
    int getFps() const { return nFps; }
    // Clockwise turn in degrees (0, 90, 180 or 270) the video stream asks
    // for when shown (a phone's recording held upright).
    int getRotation() const { return nRotation; }
    int getDuration() const { return nDuration; }
    // Seconds of the medium's first time stamp (0 when it states none).
    double getStartTime() const { return dStartTime; }
    double getAudioTimeBase() const { return dAudioTimeBase; }
    double getVideoTimeBase() const { return dVideoTimeBase; }
    const std::string& getName() const { return strName; }

    // Frame-rate rule: average rate, else real rate (each only when numerator
    // and denominator are non-zero), else 1 / decoder time base; truncated;
    // outside 1..kMaxFps gives kDefaultFps.
    static int FpsFromRates(AVRational avgRate, AVRational realRate, AVRational decoderTimeBase);

private:
    void FreeCodecContexts();
    static AVStream* ChooseStream(AVFormatContext* input, int type);
    static int RotationOf(const AVStream* st);
    // Frees the input and the codec contexts under the lock.
    void CloseInput();
    // Under the mutex: the read goes on from the key package at or before
    // `seconds` (from the medium's start).
    void SeekLocked(double seconds);
    // Under the mutex: a video packet read again after a switch that was
    // handed out before it.
    bool HandedOutBefore(const AVPacket& pkt);

    std::atomic<bool> bClosed{true};
    AVFormatContext* pFormatCtx = nullptr;
    AVStream* pAudioStream = nullptr;
    AVCodecContext* pAudioCodecCtx = nullptr;
    int nAudioIndex = -1;
    AVStream* pVideoStream = nullptr;
    AVCodecContext* pVideoCodecCtx = nullptr;
    int nVideoIndex = -1;
    int nFps = kDefaultFps;
    int nRotation = 0;
    bool bCover = false;     // the video stream is an audio file's cover picture
    double dReadFrom = 0.0;  // stamp (seconds) the last open or seek reads from; under the mutex
    // Where the last video packet handed out was read (file position, else
    // stamp), and after a switch the one to read past; under the mutex.
    struct ReadMark {
        int64_t pos = -1;
        int64_t stamp = INT64_MIN;  // AV_NOPTS_VALUE
    };
    ReadMark lastVideo;
    ReadMark passVideoThrough;
    bool bPassingVideo = false;
    std::string strName;
    int (*pInterrupt)(void*) = nullptr;
    void* pInterruptOpaque = nullptr;
    int nDuration = 0;
    std::mutex mutex;
    double dAudioTimeBase = 0.0;
    double dVideoTimeBase = 0.0;
    double dStartTime = 0.0;
};
