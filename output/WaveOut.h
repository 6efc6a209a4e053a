#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "output/WaveHeaderQueue.h"
#include "platform/MessageThread.h"
#include "platform/SeqLock.h"

// Our wave-out device: a sink for PCM blocks (wave headers) over SDL2 audio.
// Each written header is played in order; when the device has taken all of
// a header it posts MM_WOM_DONE (lParam = the header) to the thread given at
// open. Results are 0 on success or one of the error codes below.
//
// Threads: Open, Close and SetVolume on the owning thread (the audio
// thread); PrepareHeader, UnprepareHeader, Write, Reset, SetPaused and the
// getters from any thread; SDL's own audio thread pulls the data.

struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

struct WAVEHDR {
    uint8_t* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};

constexpr uint16_t WAVE_FORMAT_PCM = 1;

constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// Completion message posted to the notified thread, one per header.
constexpr uint32_t MM_WOM_DONE = 0x3BD;

constexpr int MMSYSERR_NOERROR = 0;
constexpr int MMSYSERR_ERROR = 1;
constexpr int MMSYSERR_ALLOCATED = 4;
constexpr int MMSYSERR_INVALHANDLE = 5;
constexpr int MMSYSERR_NODRIVER = 6;
constexpr int MMSYSERR_INVALPARAM = 11;
constexpr int WAVERR_BADFORMAT = 32;
constexpr int WAVERR_STILLPLAYING = 33;
constexpr int WAVERR_UNPREPARED = 34;

class CWaveOut {
public:
    CWaveOut() = default;
    CWaveOut(const CWaveOut&) = delete;
    CWaveOut& operator=(const CWaveOut&) = delete;
    // Resets and closes a device that is still open.
    ~CWaveOut();

    static constexpr uint32_t kMinSampleRate = 1000;
    static constexpr uint32_t kMaxSampleRate = 384000;

    // Opens the default output with this PCM format (8 or 16 bits, 1 or 2
    // channels, kMinSampleRate to kMaxSampleRate); completions go to
    // `notify` as MM_WOM_DONE.
    int Open(const WAVEFORMATEX& format, CMessageThread* notify);
    int PrepareHeader(WAVEHDR* header);
    int UnprepareHeader(WAVEHDR* header);
    int Write(WAVEHDR* header);
    // Stops playing and returns every pending header, each with its
    // completion; with `taken`, the headers are appended there instead and
    // no completion is posted for them.
    int Reset(std::vector<WAVEHDR*>* taken = nullptr);
    // Fails with WAVERR_STILLPLAYING while headers are pending.
    int Close();
    // Low word left, high word right; 0xFFFF is full level.
    int SetVolume(uint32_t volume);
    // A software gain of 0..1 over the volume, for 8- and 16-bit formats;
    // it scales what the device takes from now on, queued sound included,
    // so a mute is heard at once. Any thread; holds across opens.
    void SetGain(float gain) { m_fGain = gain; }
    float GetGain() const { return m_fGain.load(); }

    // While paused the device plays silence and takes nothing from the
    // headers; the state holds across opens.
    void SetPaused(bool paused) { m_bPaused = paused; }
    bool IsPaused() const { return m_bPaused.load(); }
    // Owning thread: while held, the device's own thread stops before its
    // next period instead of waking every period to play silence. Hold only
    // a paused device; Close releases it.
    void Hold(bool hold);

    bool IsOpen() const { return m_device != 0; }
    // Bytes of written headers handed to the device since construction.
    uint64_t GetBytesWritten() const { return m_nBytesWritten.load(); }
    // Bytes of written headers heard since construction: taken by the device
    // and played out of its own buffer, or dropped by Reset. Lock-free.
    uint64_t GetBytesHeard() const;
    // Bytes the device has played since it was opened, silence included
    // (what a recording driver has written).
    uint64_t GetBytesPlayed() const { return m_nBytesPlayed.load(); }
    // Bytes the device takes per period; 0 while closed.
    uint32_t GetPeriodBytes() const { return m_nPeriodBytes.load(); }
    // Text for a result code, with the detail of the last failed open.
    std::string GetErrorText(int code) const;

    // Calling thread, as it ends: frees what the audio library keeps per
    // thread for threads it did not start itself.
    static void ReleaseThreadState();

private:
    static void FillThunk(void* self, uint8_t* stream, int length);
    void Fill(uint8_t* stream, int length);
    void ApplyVolume(uint8_t* data, int length) const;
    // Under m_mutex: marks a header finished; Complete also posts its completion.
    static WAVEHDR* Finish(WAVEHDR* header);
    void Complete(WAVEHDR* header);
    static constexpr int kMaxFinishedPerFill = 16;  // completions a fill posts after unlocking

    // What the device took from the headers, and when its last period was
    // filled with how many header bytes (SDL plays that buffer after the fill).
    struct FillState {
        uint64_t nTaken;
        uint64_t nLastFill;
        int64_t nFillTimeUs;
    };

    std::atomic<uint32_t> m_device{0};   // SDL device id, owning thread
    WAVEFORMATEX m_format{};
    std::string m_strLastError;          // owning thread
    mutable std::mutex m_mutex;          // guards m_pending, m_nOffset, m_pNotify
    WaveHeaderQueue m_pending;
    uint32_t m_nOffset = 0;              // bytes of the front header already played
    CMessageThread* m_pNotify = nullptr;
    std::atomic<uint32_t> m_dwVolume{0xFFFFFFFFu};
    std::atomic<float> m_fGain{1.0f};
    std::atomic<uint64_t> m_nBytesWritten{0};
    std::atomic<uint64_t> m_nBytesDropped{0};   // by Reset
    std::atomic<uint64_t> m_nBytesPlayed{0};
    std::atomic<uint32_t> m_nPeriodBytes{0};
    std::atomic<uint32_t> m_nBytesPerSec{0};
    std::atomic<bool> m_bPaused{false};
    bool m_bHeld = false;                // owning thread
    SeqLock<FillState> m_fill;           // written by SDL's thread only
};
