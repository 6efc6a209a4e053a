#pragma once
// The playback controller: one per process. It plays a local file through
// its own VideoDemuxer, or a remote medium through a receiver, with four
// threads around its parts: the feeder fills the two package queues, a
// decoder per stream (each with its own thread) decodes, and the presenter
// shows the pictures paced against the sound being heard.
//
// Threads: OpenLocal, StartPlay, Stop, Seek and SetPause run on the
// controlling thread (the UI thread, or a headless host's main thread) and
// never on a worker thread or a receiver callback. The observers may be
// called from any thread.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/AudioDecoder.h"
#include "engine/MediaClock.h"
#include "engine/FrameQueue.h"
#include "engine/PacketQueue.h"
#include "engine/Presenter.h"
#include "engine/RecverSink.h"
#include "engine/Subtitles.h"
#include "engine/VideoDecoder.h"
#include "engine/VideoDemuxer.h"
#include "platform/WakeSignal.h"


class MediaPlayer : public RecverSink, private PaceSource {
public:
    static constexpr int kMaxQueuedPkgs = 100;   // audio and video packages together
    static constexpr int kRefillBatch = 10;      // a full feeder waits for room for this many
    static constexpr int kMaxQueuedFrames = 30;  // decoded pictures
    static constexpr int kDescribeWaitMs = 1000; // remote: between describe requests
    static constexpr int kFetchGapMs = 5;        // remote: after each fetch request

    MediaPlayer();
    ~MediaPlayer() override;
    MediaPlayer(const MediaPlayer&) = delete;
    MediaPlayer& operator=(const MediaPlayer&) = delete;

    // --- controlling thread ---
    // Plays a local file from its start, unpaused. -1, changing nothing,
    // for a null path or the name a remote start recorded.
    int OpenLocal(const char* path);
    int Stop();
    // Jumps to a position in whole seconds from the medium's start, unpaused.
    int Seek(int seconds) { return SeekTo(seconds); }
    // The same to any position: the first picture shown and the first sound
    // heard are those of the target. Beyond the end lands at the end;
    // before the start at the start; a target that is no number is ignored.
    int SeekTo(double seconds);
    // Relative to the position being heard.
    int SeekBy(double seconds) { return SeekTo(Position() + seconds); }
    void SetPause(bool paused);
    // Media seconds per second of play, kMinSpeed to kMaxSpeed (clamped; a
    // value that is no number is ignored); the sound keeps its pitch.
    static constexpr double kMinSpeed = 0.25;
    static constexpr double kMaxSpeed = 4.0;
    void SetSpeed(double speed);
    // Plays medium `name` of the sender at address:port, paused until
    // SetPause(false). -1 for a null address or name.
    int StartPlay(const char* address, int port, const char* name);
    // How StartPlay makes receivers (the control layer installs it before
    // any StartPlay). Without one, StartPlay plays nothing.
    void SetRecverFactory(RecverFactory factory) { m_recverFactory = std::move(factory); }
    // Playing remotely from a receiver that never connected or whose
    // connection has ended: nothing more will arrive.
    bool RemoteSourceEnded() const;

    // Audio streams of the local medium (the one playing `selected`), and
    // another played from the position being heard, keeping pause, speed and
    // subtitles.
    const std::vector<VideoDemuxer::StreamInfo>& AudioStreams() const { return m_audioStreams; }
    const std::vector<VideoDemuxer::StreamInfo>& VideoStreams() const { return m_videoStreams; }
    void SelectAudioStream(int streamIndex);
    // Chapters of the local medium, from its start.
    const std::vector<VideoDemuxer::Chapter>& Chapters() const { return m_chapters; }

    // Subtitles of the local medium: the files beside it, then its subtitle
    // streams. An open shows a file beside the medium, else a stream the
    // medium marks as default, else none.
    const std::vector<Subtitles::Choice>& SubtitleChoices() const { return m_subtitleChoices; }
    // -1 for none.
    void SelectSubtitle(int choice);
    int SelectedSubtitle() const { return m_nSubtitle; }
    // A file a person dropped on the window: added to the choices and shown.
    void AddSubtitleFile(const std::string& path);
    void SetSubtitleDelay(double seconds) { m_subtitles->SetDelay(seconds); }
    double SubtitleDelay() const { return m_subtitles->Delay(); }
    void SetSubtitleScale(double scale) { m_subtitles->SetScale(std::clamp(scale, 0.25, 4.0)); }
    double SubtitleScale() const { return m_subtitles->Scale(); }

    // --- RecverSink: the current receiver's receive thread. Answers of a
    // receiver that is no longer current are refused (-1) and it is closed.
    int OnMediaPackage(AVPacket* pkt, int codecId, int bVideo, RemoteRecver* recver) override;
    int OnStreamInfo(ByteStream& reader, RemoteRecver* recver) override;
    int OnStreamEnd(ByteStream& reader, RemoteRecver* recver) override;

    // --- any thread ---
    // Appends a package (owned from now on) to its queue.
    void QueuePackage(AVPacket* pkt, bool bVideo);

    bool IsPaused() const { return m_bPause; }
    double Speed() const override { return m_dSpeed; }
    // The source has no more packages (those queued may still be playing).
    bool IsEnded() const { return m_videoPkts.Ended(); }
    // Remote: a stream description has been applied.
    bool DescriptionReady() const { return m_bInfoReady; }
    // Whole seconds of the open medium; 0 when nothing is open.
    int Duration() const { return m_nDuration; }
    // The medium's first stamp, in seconds.
    double StartTime() const { return m_dStartTime; }
    // Stamp in seconds of the picture shown last, and of the sound decoded last.
    double VideoClock() const { return m_presenter.VideoClock(); }
    double AudioClock() const { return m_audio.LastStamp(); }
    // Stamp in seconds of the sound being heard now: the medium's clock.
    // Without sound, the picture shown last; where the sound has played out
    // before the pictures, whichever is further.
    double HeardClock() const override;
    // Playing position in seconds from the medium's start.
    double Position() const { return HeardClock() - m_dStartTime; }
    // The sound stream feeds the output.
    bool Audible() const { return m_audio.Audible(); }
    // The sound's packages ran dry: it waits for a reserve (or the end).
    bool IsBuffering() const { return m_audio.Starving(); }
    // The sound has played out and no more is decoded: pictures follow the
    // wall clock meanwhile.
    bool SoundOver() const;
    // Pictures the video decoder has produced since the player was made.
    int FramesDecoded() const { return m_video.FramesDecoded(); }
    // Pictures per second the video stream states.
    int FrameRate() const { return m_video.Fps(); }
    // Of them, those decoded with a shortcut because decoding fell behind.
    int FastDecoded() const { return m_video.FastDecoded(); }
    int QueuedAudioPkgs() const { return int(m_audioPkts.Size()); }
    int QueuedVideoPkgs() const { return int(m_videoPkts.Size()); }
    int QueuedFrames() const { return int(m_frames.Size()); }

    // Empty when the audio output can play this rate and channel count, else why not.
    static std::string AudioFormatError(int sampleRate, int channels) {
        return AudioDecoder::FormatError(sampleRate, channels);
    }

private:
    // PaceSource, for the presenter.
    bool WallPaced() const override { return !Audible() || SoundOver(); }
    bool SoundStarted() const override { return m_clock.Decoded(); }
    // Seconds until a picture with this stamp is due (the video decoder asks).
    double PictureLead(double stamp) const;

    void StartThreads();
    void JoinThreads();
    void SetEnded(bool ended);
    void FeederThread();
    template <typename Ready>
    void FeederWait(Ready ready) {
        std::unique_lock<std::mutex> lock(m_feederWake.Mutex());
        m_feederWake.Wait(lock, ready);
    }
    void FeedLocal();  // feeder: one package read, or the end

    // Remote source (RemoteSource.cpp).
    void ReleaseRecver();
    bool RemoteWaitStep();     // feeder
    bool RemoteFetchStep();    // feeder
    void AwaitDescription();   // feeder
    void SendRemoteSeek(int seconds);
    bool CountAnswer();        // under m_countMutex

    std::atomic<bool> m_bPause{true};
    std::atomic<double> m_dSpeed{1.0};
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bLocal{false};
    std::atomic<bool> m_bInfoReady{false};
    std::atomic<int> m_nDuration{0};
    std::atomic<double> m_dStartTime{0.0};
    // Remote: false until the first package has told the start time (a
    // description does not); a seek before it leaves the start at 0.
    std::atomic<bool> m_bStartKnown{true};
    std::string m_strMedia;  // the name a remote start recorded (controlling thread)

    WakeSignal m_feederWake;  // room among the packages, the end, a pause, a description
    PacketQueue m_audioPkts{m_feederWake};
    PacketQueue m_videoPkts{m_feederWake};
    FrameQueue m_frames{kMaxQueuedFrames};
    SoundClock m_clock;
    VideoDecoder m_video;
    AudioDecoder m_audio;
    std::shared_ptr<Subtitles> m_subtitles = std::make_shared<Subtitles>();  // pictures shown keep it too
    std::vector<Subtitles::Choice> m_subtitleChoices;  // controlling thread, as the two below
    std::vector<VideoDemuxer::StreamInfo> m_audioStreams;
    std::vector<VideoDemuxer::StreamInfo> m_videoStreams;
    std::vector<VideoDemuxer::Chapter> m_chapters;
    std::string m_strLocalPath;  // the local medium open
    int m_nSubtitle = -1;
    Presenter m_presenter;
    std::thread m_feeder;
    std::thread m_present;

    std::unique_ptr<VideoDemuxer> m_pDemuxer;  // created on the first local open
    // Held by the feeder from a read to its queueing and by Seek, so no
    // package read before a seek is queued after it.
    std::mutex m_feedMutex;

    // Remote source.
    RecverFactory m_recverFactory;
    std::string m_strServer;
    int m_nPort = 0;
    // Owned; replaced by StartPlay, released by Stop. Read by the feeder and
    // the callbacks while the threads run; changed only with them joined.
    std::atomic<RemoteRecver*> m_pRecver{nullptr};
    // Remote: the first description has set up the decoders; later ones
    // change nothing. Reset by StartPlay.
    std::atomic<bool> m_bDescribed{false};
    // Fetches already on the wire when a seek goes out are answered from the
    // old position (or with an end); those answers are counted and dropped.
    // m_requestMutex keeps fetches and seeks in wire order with the counts.
    std::mutex m_requestMutex;
    std::mutex m_countMutex;  // the counts, and an answer's count with its queueing
    uint64_t m_nFetchesSent = 0;
    uint64_t m_nAnswers = 0;
    uint64_t m_nStaleAnswers = 0;
};
