#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "output/WaveHeaderQueue.h"
#include "output/WaveOut.h"
#include "platform/MessageThread.h"
#include "platform/WakeSignal.h"

// The audio output thread: PCM handed in by the audio decoder is copied into
// a pool of wave headers that circulate free list -> queue -> device -> free
// list. Every device call runs on this object's own message thread.
//
// Threads:
// - owner (the window or the headless player): construction, CreateThread,
//   StopThread, destruction;
// - opening thread of the player: SetWaveFormat, SetFormat (AudioSetFormat);
// - audio decode thread: AddPcm, WritePcm (AudioWritePcm), GetQueuedCount;
// - any thread: PostThreadMessage and the read-only getters;
// - the audio thread itself: the On... handlers.

constexpr uint32_t WM_PLAY_START = WM_USER + 600;
constexpr uint32_t WM_PLAY_STOP = WM_USER + 601;
constexpr uint32_t WM_PLAY_NEXT = WM_USER + 602;
constexpr uint32_t WM_PLAY_END = WM_USER + 603;
constexpr uint32_t WM_PLAY_HOLD = WM_USER + 604;   // holds the device while paused

class CPlaySound : public CMessageThread {
public:
    static constexpr int kPoolSize = 22;            // headers made at construction
    static constexpr int kQueueLimit = 22;          // AddPcm refuses beyond this
    static constexpr int kMaxChunk = 10240;         // PCM bytes one header carries
    static constexpr int kDataBlockSize = 11240;    // allocation per header
    static constexpr int kDeviceDepth = 3;          // headers the device may hold
    // ... and more while they hold fewer bytes than this many device periods,
    // so that small pieces play back to back.
    static constexpr int kDevicePeriods = 4;
    static constexpr int kKickThreshold = 2;        // AddPcm kicks below this
    static constexpr int kPrimeChunks = 2;          // silence queued at each start
    static constexpr int kPrimeChunkBytes = 1000;
    static constexpr int kStartSettleMs = 200;
    static constexpr int kCloseSettleMs = 500;
    static constexpr int kStopThreadWaitMs = 500;
    // A writer arriving while the device is being (re)opened waits for it, at
    // most this long, so the start of a medium is heard.
    static constexpr int kStartWaitMaxMs = 1000;
    static constexpr const char* kLogPath = "log/playsound.log";

    // Opens the log at logPath (relative to the working directory); a failed
    // open only disables logging.
    explicit CPlaySound(const char* logPath = kLogPath);
    ~CPlaySound() override;

    // Starts the audio thread; 0, or -1 when it already runs.
    int CreateThread() {
        m_bExiting = false;
        return CMessageThread::CreateThread("audio-out");
    }
    // Ends the audio thread, waiting up to kStopThreadWaitMs; the thread
    // stops and closes the device on its way out, skipping the settle
    // sleeps, so this returns within a few tens of ms. Returns 0.
    int StopThread();

    // Takes effect at the next WM_PLAY_START.
    void SetWaveFormat(uint16_t channels, int bitsPerSample, uint32_t samplesPerSec);
    // Queues one chunk (cut to kMaxChunk); false when refused or dropped.
    bool AddPcm(const uint8_t* data, int length);
    // Software output gain, 0..1 (clamped), applied by the device to what
    // it plays from then on (queued sound included), for 8- and 16-bit
    // formats. Any thread; 1 at start.
    void SetGain(float gain);
    float GetGain() const { return m_waveOut.GetGain(); }
    int GetQueuedCount() const;
    int GetInDeviceCount() const;
    bool IsDeviceOpen() const { return m_bDeviceOpen.load(); }
    // Total bytes handed to WritePcm.
    uint64_t GetPcmBytesWritten() const { return m_nPcmBytesWritten.load(); }
    // Total bytes of headers written to the device, silence priming included.
    uint64_t GetDeviceBytesWritten() const { return m_waveOut.GetBytesWritten(); }
    // Bytes the device has played since it was last opened, silence included.
    uint64_t GetDeviceBytesPlayed() const { return m_waveOut.GetBytesPlayed(); }
    // Lock-free, any thread. Bytes accepted by AddPcm since construction, and
    // how many of them have been heard (played out of the device, or dropped
    // by Flush or a reopen): the difference is what is still queued.
    uint64_t GetBytesAccepted() const { return m_nBytesAccepted.load(); }
    uint64_t GetBytesHeard() const { return m_waveOut.GetBytesHeard() + m_nBytesDiscarded.load(); }

    // Any thread. Pausing silences the device at once and keeps everything
    // queued; resuming plays on from there. The audio thread then holds a
    // paused device, so that it wakes no one until it plays again.
    void Pause(bool paused) {
        m_waveOut.SetPaused(paused);
        PostThreadMessage(WM_PLAY_HOLD);
    }
    // Any thread. Drops the queued PCM and what the device still holds; a
    // writer waiting in WritePcm (for the device or under back-pressure)
    // returns at once, since what it waited for is gone.
    void Flush();

    // The two output hooks for this instance.
    void SetFormat(int channels, int samplesPerSecond, int bytesPerSample);
    void WritePcm(const uint8_t* data, int length);

    // Audio thread; also the destructor and OnPlayEnd. 1 when already
    // stopped, 0 or the device's result otherwise.
    int OnPlayStop();

protected:
    bool InitInstance() override { return true; }
    int ExitInstance() override;
    void OnMessage(const ThreadMessage& msg) override;

private:
    struct WaveBlock {
        WAVEHDR header;
        uint8_t data[kDataBlockSize];
    };

    void OnPlayStart();
    void OnPlayNext();
    void OnWaveDone(WAVEHDR* header);
    void OnPlayEnd();
    int CloseDevice();
    void Settle(int ms);
    bool SameFormatOpen(const WAVEFORMATEX& format) const;
    void DiscardQueue();                // under m_lock
    void ReclaimDeviceHeaders();        // under m_lock
    void ReleaseDevice();
    WAVEHDR* CreateWaveHeader();        // under m_lock
    void CreateWaveHeaders();
    void WriteLog(const char* text);
    void LogDeviceError(int code, const char* label);

    WAVEFORMATEX m_waveFormat{};         // under m_lock
    std::atomic<bool> m_bDeviceOpen{false};
    std::atomic<bool> m_bStopped{true};
    std::atomic<bool> m_bStartPending{false};   // between SetFormat and the end of OnPlayStart
    // Wakes WritePcm when the start is done or a flush came, and the settle
    // sleeps when the thread is told to end.
    WakeSignal m_stateChanged;
    std::atomic<unsigned> m_nFlushes{0};
    void EndStartPending();
    CWaveOut m_waveOut;
    WaveHeaderQueue m_queueList{2 * kPoolSize};
    WaveHeaderQueue m_freeList{2 * kPoolSize};
    std::vector<std::unique_ptr<WaveBlock>> m_pool;   // owns every header ever made
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_logFile{nullptr, &std::fclose};
    bool m_bLogOpen = false;
    int m_nInDevice = 0;
    uint64_t m_nInDeviceBytes = 0;
    WAVEFORMATEX m_openFormat{};         // audio thread: what the device was opened with
    mutable std::mutex m_lock;           // m_queueList, m_freeList, m_pool, m_nInDevice(Bytes), m_waveFormat
    std::atomic<bool> m_bExiting{false}; // StopThread until the next CreateThread
    std::atomic<uint64_t> m_nBytesAccepted{0};
    std::atomic<uint64_t> m_nBytesDiscarded{0};
    std::atomic<uint64_t> m_nPcmBytesWritten{0};
};

// The process's one audio output thread object.
CPlaySound& ThePlaySound();
