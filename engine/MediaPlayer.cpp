#include "engine/MediaPlayer.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "engine/VideoDemuxer.h"
#include "output/OutputHooks.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

// Seconds per time-stamp unit after a stop, until the next open sets the real ones.
static constexpr double kNeutralTimeBase = 1000.0;

MediaPlayer::MediaPlayer()
    : m_video(m_videoPkts, m_frames, [this](double stamp) { return PictureLead(stamp); }),
      m_audio(m_audioPkts, m_videoPkts, m_clock,
              [this] {
                  if (m_presenter.AwaitingSound())
                      m_frames.Notify();
              }),
      m_presenter(m_frames, m_video, *this, m_subtitles) {}

MediaPlayer::~MediaPlayer() {
    // A host that forgot to stop playback gets the threads joined here.
    if (m_feeder.joinable() || m_present.joinable())
        Stop();
    ReleaseRecver();
}

double MediaPlayer::HeardClock() const {
    if (!Audible())
        return m_presenter.VideoClock();
    const double heard = m_clock.Now();
    return SoundOver() ? std::max(heard, m_presenter.VideoClock()) : heard;
}

bool MediaPlayer::SoundOver() const {
    return Audible() && m_audio.Starving() && m_clock.Decoded() && AudioBytesHeard() >= AudioBytesAccepted();
}

// Before the sound has set the clock after an open or a seek, nothing is late.
double MediaPlayer::PictureLead(double stamp) const {
    if (Audible() && !m_clock.Decoded())
        return INFINITY;
    return stamp - HeardClock();
}

void MediaPlayer::SetPause(bool paused) {
    m_bPause = paused;
    AudioPause(paused);
    m_audioPkts.SetHeld(paused);  // the output would only refuse the sound
    m_frames.SetHeld(paused);
    m_feederWake.Notify();
}

// Only the sound changes: its decoder takes the other stream and the read
// goes back to the position being heard for it, while the pictures queued
// and shown go on; the clock waits for the new sound as after a seek.
void MediaPlayer::SelectAudioStream(int streamIndex) {
    const bool known = std::any_of(m_audioStreams.begin(), m_audioStreams.end(),
                                   [&](const VideoDemuxer::StreamInfo& s) { return s.index == streamIndex && !s.selected; });
    if (!known || !m_bLocal || !m_pDemuxer)
        return;
    std::lock_guard<std::mutex> feed(m_feedMutex);
    const double heard = HeardClock();
    m_audioPkts.Abort();
    AudioFlush();  // ends the output's back-pressure on the decoder too
    m_audio.Join();
    m_audio.CloseStream(m_pDemuxer->getAudioTimeBase());  // before the demuxer frees the context
    const bool switched = m_pDemuxer->switchAudioStream(streamIndex, heard - m_dStartTime) != nullptr;
    m_audio.SwitchStream(m_pDemuxer->getAudioCodecCtx(), m_pDemuxer->getAudioTimeBase());
    if (switched) {
        const unsigned serial = m_audioPkts.Flush();
        if (IsEnded())
            SetEnded(false);  // the new stream's rest is still to be read
        AudioFlush();
        m_clock.Restart(heard, serial);
        m_audioStreams = m_pDemuxer->listStreams(AVMEDIA_TYPE_AUDIO);
    }
    m_audioPkts.Restart();
    m_audio.Start("audio-decode", switched ? heard : -INFINITY);
}

void MediaPlayer::SelectSubtitle(int choice) {
    if (choice < 0 || choice >= int(m_subtitleChoices.size())) {
        m_subtitles->Clear();
        m_nSubtitle = -1;
        return;
    }
    m_subtitles->Load(m_subtitleChoices[choice], m_dStartTime);
    m_nSubtitle = choice;
}

void MediaPlayer::AddSubtitleFile(const std::string& path) {
    m_subtitleChoices.push_back(Subtitles::Choice{path, -1, std::filesystem::path(path).filename().string(), true});
    SelectSubtitle(int(m_subtitleChoices.size()) - 1);
}

void MediaPlayer::SetSpeed(double speed) {
    if (std::isnan(speed))
        return;
    m_dSpeed = std::clamp(speed, kMinSpeed, kMaxSpeed);
    m_audio.SetSpeed(m_dSpeed);
}

void MediaPlayer::SetEnded(bool ended) {
    if (ended && !m_videoPkts.Ended()) {
        // Each decoder drains what it holds back when it reaches the marker.
        m_audioPkts.Put(Decoder::EndMarker());
        m_videoPkts.Put(Decoder::EndMarker());
    }
    m_audioPkts.SetEnded(ended);  // a starving audio decoder waits for no reserve then
    m_videoPkts.SetEnded(ended);
    m_feederWake.Notify();
}

void MediaPlayer::QueuePackage(AVPacket* pkt, bool bVideo) {
    (bVideo ? m_videoPkts : m_audioPkts).Put(AVPacketPtr(pkt));
}

int MediaPlayer::OpenLocal(const char* path) {
    if (!path || m_strMedia == path)
        return -1;
    SetPause(false);
    Stop();

    if (!m_pDemuxer)
        m_pDemuxer = std::make_unique<VideoDemuxer>();
    m_pDemuxer->close();
    // A medium that cannot be opened plays as an empty one that ends at once.
    m_pDemuxer->open(path);

    m_bInfoReady = false;
    m_nDuration = m_pDemuxer->getDuration();
    m_dStartTime = m_pDemuxer->getStartTime();
    m_bStartKnown = true;
    m_audio.ResetLastStamp();
    m_presenter.ResetVideoClock();

    bool opened = false;
    m_audio.OpenStream(m_pDemuxer->getAudioCodecCtx(), false, m_pDemuxer->getAudioTimeBase(), &opened);
    if (m_pDemuxer->getAudioCodecCtx() && !opened)
        DebugTrace("local open codec error!\r\n");
    m_clock.Restart(m_dStartTime, m_audioPkts.Serial());
    m_video.SetStream(m_pDemuxer->getVideoTimeBase(), m_pDemuxer->getFps(), m_pDemuxer->getRotation());
    if (AVCodecContext* ctx = m_pDemuxer->getVideoCodecCtx(); ctx && !m_video.Open(ctx, false))
        DebugTrace("local open codec error!\r\n");

    m_strLocalPath = path;
    m_audioStreams = m_pDemuxer->listStreams(AVMEDIA_TYPE_AUDIO);
    m_videoStreams = m_pDemuxer->listStreams(AVMEDIA_TYPE_VIDEO);
    m_chapters = m_pDemuxer->getChapters();
    m_subtitleChoices = Subtitles::Find(path, m_pDemuxer->listStreams(AVMEDIA_TYPE_SUBTITLE));
    const auto preferred = std::find_if(m_subtitleChoices.begin(), m_subtitleChoices.end(),
                                        [](const Subtitles::Choice& c) { return c.preferred; });
    SelectSubtitle(preferred == m_subtitleChoices.end() ? -1 : int(preferred - m_subtitleChoices.begin()));

    SetEnded(false);
    m_bLocal = true;
    DebugTrace("local open OK!\r\n");
    StartThreads();
    return 0;
}

void MediaPlayer::StartThreads() {
    m_bQuit = false;
    for (PacketQueue* queue : {&m_audioPkts, &m_videoPkts})
        queue->Restart();
    m_frames.Restart();
    if (!m_feeder.joinable()) {
        m_feeder = std::thread(&MediaPlayer::FeederThread, this);
        NameThread(m_feeder, "feeder");
    }
    m_video.Start("video-decode");
    m_audio.Start("audio-decode");
    if (!m_present.joinable()) {
        m_present = std::thread(&Presenter::Run, &m_presenter);
        NameThread(m_present, "present");
    }
}

void MediaPlayer::JoinThreads() {
    if (m_feeder.joinable())
        m_feeder.join();
    if (m_present.joinable())
        m_present.join();
    m_video.Join();
    m_audio.Join();
}

int MediaPlayer::Stop() {
    m_bQuit = true;
    for (PacketQueue* queue : {&m_audioPkts, &m_videoPkts})
        queue->Abort();
    m_frames.Abort();
    m_feederWake.Notify();
    // Also ends the output's back-pressure pause of the audio decoder at once.
    AudioFlush();
    m_strMedia.clear();
    JoinThreads();
    m_subtitles->Clear();
    m_subtitleChoices.clear();
    m_nSubtitle = -1;
    m_audioStreams.clear();
    m_videoStreams.clear();
    m_chapters.clear();
    m_strLocalPath.clear();
    m_bInfoReady = false;
    ReleaseRecver();
    m_audioPkts.Clear();
    m_videoPkts.Clear();
    m_frames.Flush();
    AudioFlush();
    m_audio.CloseStream(kNeutralTimeBase);
    m_video.Close();
    m_video.SetStream(kNeutralTimeBase, m_video.Fps());
    m_nDuration = 0;
    return 0;
}

int MediaPlayer::SeekTo(double seconds) {
    if (std::isnan(seconds))
        return 0;
    seconds = std::max(seconds, 0.0);
    if (m_nDuration > 0)
        seconds = std::min(seconds, double(m_nDuration));
    m_bStartKnown = true;
    {
        std::lock_guard<std::mutex> feed(m_feedMutex);
        const double target = m_dStartTime + seconds;
        m_video.SkipUntil(target);  // read by the decoders once they see the flush below
        m_audio.SkipUntil(target);
        if (m_pDemuxer)
            m_pDemuxer->seekTo(seconds);
        // The peer seeks in whole seconds, to a key package before them.
        SendRemoteSeek(static_cast<int>(seconds));
        // Packages before pictures: a picture decoded from a package taken
        // before the flush is then refused by one queue or the other.
        const unsigned serial = m_audioPkts.Flush();
        m_videoPkts.Flush();
        m_frames.Flush();
        SetEnded(false);
        // Before the feeder can queue the new position's first package.
        AudioFlush();
        m_clock.Restart(m_dStartTime + seconds, serial);
    }
    SetPause(false);
    return 0;
}

void MediaPlayer::FeedLocal() {
    int bVideo = 0, codecId = 0;
    std::lock_guard<std::mutex> feed(m_feedMutex);
    if (AVPacket* pkt = m_pDemuxer->readPacket(bVideo, codecId))
        QueuePackage(pkt, bVideo != 0);
    else
        SetEnded(true);
}

void MediaPlayer::FeederThread() {
    const auto queued = [this] { return m_audioPkts.Size() + m_videoPkts.Size(); };
    while (!m_bQuit) {
        if (IsEnded() || m_bPause) {
            if (!RemoteWaitStep())
                FeederWait([this] { return m_bQuit || !(IsEnded() || m_bPause); });
            continue;
        }
        if (queued() >= size_t(kMaxQueuedPkgs)) {
            FeederWait([&] {
                return m_bQuit || IsEnded() || m_bPause || queued() <= size_t(kMaxQueuedPkgs - kRefillBatch);
            });
            continue;
        }
        if (m_bLocal && m_pDemuxer) {
            FeedLocal();
            continue;
        }
        if (!RemoteFetchStep())
            return;
    }
}
