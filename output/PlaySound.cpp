#include "output/PlaySound.h"

#include "output/OutputHooks.h"
#include "platform/Trace.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kDeviceFullVolume = 0xFFFFFFFFu;
constexpr int kMaxBitsPerSample = 16;

// Queue depths at which the writer is held back, and for how long.
struct BackPressureStep {
    int queued;
    int sleepMs;
};
constexpr BackPressureStep kBackPressure[] = {{10, 10}, {15, 50}, {20, 100}};

}  // namespace

CPlaySound::CPlaySound(const char* logPath) {
    m_logFile.reset(logPath ? std::fopen(logPath, "w") : nullptr);
    m_bLogOpen = m_logFile != nullptr;
    SetWaveFormat(1, 16, 8000);
    CreateWaveHeaders();
    WriteLog("\n In the constructor of Play sound");
}

CPlaySound::~CPlaySound() {
    // The thread's exit stops and releases the device; then nothing else
    // touches it.
    StopThread();
    OnPlayStop();
    ReleaseDevice();
}

void CPlaySound::ReleaseDevice() {
    m_bStopped = true;
    if (m_waveOut.IsOpen()) {
        m_waveOut.Reset();
        m_waveOut.Close();
    }
    m_bDeviceOpen = false;
    // Completions of the reset die with the message queue, so every header
    // goes back to the free list here.
    std::lock_guard<std::mutex> lock(m_lock);
    DiscardQueue();
    m_freeList.clear();
    for (const std::unique_ptr<WaveBlock>& block : m_pool) {
        block->header.dwFlags = 0;
        m_freeList.push_back(&block->header);
    }
    m_nInDevice = 0;
    m_nInDeviceBytes = 0;
}

int CPlaySound::StopThread() {
    m_bExiting = true;
    m_stateChanged.Notify();
    EndThread(kStopThreadWaitMs);
    EndStartPending();
    return 0;
}

void CPlaySound::EndStartPending() {
    m_bStartPending = false;
    m_stateChanged.Notify();
}

void CPlaySound::SetWaveFormat(uint16_t channels, int bitsPerSample, uint32_t samplesPerSec) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_waveFormat = WAVEFORMATEX{};
    m_waveFormat.wFormatTag = WAVE_FORMAT_PCM;
    m_waveFormat.nChannels = channels;
    m_waveFormat.wBitsPerSample = static_cast<uint16_t>(bitsPerSample);
    m_waveFormat.nSamplesPerSec = samplesPerSec;
    m_waveFormat.cbSize = 0;
    m_waveFormat.nBlockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
    m_waveFormat.nAvgBytesPerSec = samplesPerSec * m_waveFormat.nBlockAlign;
}

WAVEHDR* CPlaySound::CreateWaveHeader() {
    DebugTrace("CreateWaveHeader\r\n");
    std::unique_ptr<WaveBlock> block(new (std::nothrow) WaveBlock());
    if (!block)
        return nullptr;
    block->header.lpData = block->data;
    block->header.dwBufferLength = kMaxChunk;
    block->header.dwBytesRecorded = kMaxChunk;
    WAVEHDR* header = &block->header;
    m_pool.push_back(std::move(block));
    return header;
}

void CPlaySound::CreateWaveHeaders() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (int i = 0; i < kPoolSize; ++i) {
        if (WAVEHDR* header = CreateWaveHeader())
            m_freeList.push_back(header);
    }
}

void CPlaySound::WriteLog(const char* text) {
    if (!m_bLogOpen)
        return;
    std::fputs(text, m_logFile.get());
    std::fflush(m_logFile.get());
}

void CPlaySound::LogDeviceError(int code, const char* label) {
    char line[512];
    std::snprintf(line, sizeof line, "PLAY : %s :%x:%s", label, static_cast<unsigned>(code),
                  m_waveOut.GetErrorText(code).c_str());
    WriteLog(line);
}

int CPlaySound::GetQueuedCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(m_queueList.size());
}

int CPlaySound::GetInDeviceCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nInDevice;
}

void CPlaySound::SetGain(float gain) {
    m_waveOut.SetGain(gain >= 0.0f ? std::min(gain, 1.0f) : 0.0f);   // NaN mutes
}

bool CPlaySound::AddPcm(const uint8_t* data, int length) {
    if (!data || length < 0)
        return false;
    if (!m_bDeviceOpen || m_bStopped)
        return false;
    bool kick;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (static_cast<int>(m_queueList.size()) >= kQueueLimit)
            return false;
        WAVEHDR* header = nullptr;
        if (!m_freeList.empty()) {
            header = m_freeList.pop_front();
        } else {
            header = CreateWaveHeader();
        }
        if (!header)
            return false;
        header->dwLoops = 0;
        header->dwFlags = 0;
        header->reserved = 0;
        uint32_t n = static_cast<uint32_t>(std::min(length, kMaxChunk));
        header->dwBufferLength = n;
        header->dwBytesRecorded = n;
        std::memcpy(header->lpData, data, n);
        m_queueList.push_back(header);
        m_nBytesAccepted += n;
        kick = m_nInDevice < kKickThreshold;
    }
    if (kick)
        PostThreadMessage(WM_PLAY_NEXT);
    return true;
}

int CPlaySound::ExitInstance() {
    // A thread that ends never leaves the device open or headers stranded in
    // it, so a later CreateThread starts clean.
    OnPlayStop();
    ReleaseDevice();
    CWaveOut::ReleaseThreadState();
    return CMessageThread::ExitInstance();
}

void CPlaySound::OnMessage(const ThreadMessage& msg) {
    // On the way out, only what releases headers still runs.
    if (m_bExiting && msg.message != MM_WOM_DONE)
        return;
    switch (msg.message) {
    case WM_PLAY_START: OnPlayStart(); break;
    case WM_PLAY_STOP: OnPlayStop(); break;
    case WM_PLAY_NEXT: OnPlayNext(); break;
    case MM_WOM_DONE: OnWaveDone(reinterpret_cast<WAVEHDR*>(msg.lParam)); break;
    case WM_PLAY_END: OnPlayEnd(); break;
    case WM_PLAY_HOLD: m_waveOut.Hold(m_waveOut.IsPaused()); break;
    default: break;
    }
}

void CPlaySound::Settle(int ms) {
    m_stateChanged.WaitFor(ms, [this] { return m_bExiting.load(); });
}

bool CPlaySound::SameFormatOpen(const WAVEFORMATEX& format) const {
    return format.nChannels == m_openFormat.nChannels && format.wBitsPerSample == m_openFormat.wBitsPerSample &&
           format.nSamplesPerSec == m_openFormat.nSamplesPerSec;
}

void CPlaySound::DiscardQueue() {
    while (!m_queueList.empty()) {
        WAVEHDR* header = m_queueList.pop_front();
        m_nBytesDiscarded += header->dwBufferLength;
        m_freeList.push_back(header);
    }
}

// Headers that the device had taken whole are already on their way back as
// completions; the others come back here, unheard.
void CPlaySound::ReclaimDeviceHeaders() {
    std::vector<WAVEHDR*> taken;
    m_waveOut.Reset(&taken);
    for (WAVEHDR* header : taken) {
        --m_nInDevice;
        m_nInDeviceBytes -= header->dwBufferLength;
        m_waveOut.UnprepareHeader(header);
        m_freeList.push_back(header);
    }
}

void CPlaySound::Flush() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        DiscardQueue();
        if (m_waveOut.IsOpen())
            ReclaimDeviceHeaders();
    }
    ++m_nFlushes;
    m_stateChanged.Notify();
}

void CPlaySound::OnPlayStart() {
    const bool restart = m_bStopped;  // a stop came first: a new medium, perhaps in a new format
    m_bStopped = false;
    Settle(kStartSettleMs);
    WAVEFORMATEX format;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        format = m_waveFormat;
    }
    if (m_bDeviceOpen) {
        if (!restart || SameFormatOpen(format)) {
            EndStartPending();
            return;  // keeps the device and its format
        }
        // The old medium's tail would play as noise in the new format.
        {
            std::lock_guard<std::mutex> lock(m_lock);
            DiscardQueue();
            ReclaimDeviceHeaders();
        }
        m_bDeviceOpen = false;
        m_waveOut.Close();
    } else {
        std::lock_guard<std::mutex> lock(m_lock);
        DiscardQueue();
        m_nInDevice = 0;
        m_nInDeviceBytes = 0;
    }
    WriteLog("\n Starting playing");
    int result = m_waveOut.Open(format, this);
    if (result != MMSYSERR_NOERROR) {
        LogDeviceError(result, "PlayStart");
    } else {
        m_openFormat = format;
        m_bDeviceOpen = true;
        m_waveOut.SetVolume(kDeviceFullVolume);
        m_waveOut.Hold(m_waveOut.IsPaused());
    }
    uint8_t silence[kPrimeChunkBytes];
    std::memset(silence, format.wBitsPerSample == 8 ? 0x80 : 0x00, sizeof silence);
    for (int i = 0; i < kPrimeChunks; ++i)
        AddPcm(silence, kPrimeChunkBytes);
    PostThreadMessage(WM_PLAY_NEXT);
    PostThreadMessage(WM_PLAY_NEXT);
    EndStartPending();
}

void CPlaySound::OnPlayNext() {
    std::lock_guard<std::mutex> lock(m_lock);
    const uint64_t periods = uint64_t(kDevicePeriods) * m_waveOut.GetPeriodBytes();
    while ((m_nInDevice < kDeviceDepth || m_nInDeviceBytes < periods) && !m_queueList.empty() && m_bDeviceOpen) {
        WAVEHDR* header = m_queueList.pop_front();
        if (m_waveOut.PrepareHeader(header) != MMSYSERR_NOERROR) {
            WriteLog("\nError while preparing header");
            m_nBytesDiscarded += header->dwBufferLength;
            return;
        }
        ++m_nInDevice;
        if (m_waveOut.Write(header) != MMSYSERR_NOERROR) {
            WriteLog("\nError while writing to device");
            m_nBytesDiscarded += header->dwBufferLength;
            --m_nInDevice;
            return;
        }
        m_nInDeviceBytes += header->dwBufferLength;
    }
}

void CPlaySound::OnWaveDone(WAVEHDR* header) {
    if (header) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            --m_nInDevice;
            m_nInDeviceBytes -= header->dwBufferLength;
            m_waveOut.UnprepareHeader(header);
            m_freeList.push_back(header);
        }
        PostThreadMessage(WM_PLAY_NEXT);
    }
    if (m_bStopped && GetInDeviceCount() <= 0 && m_bDeviceOpen)
        CloseDevice();
}

int CPlaySound::OnPlayStop() {
    if (m_bStopped)
        return 1;
    m_bStopped = true;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_nInDevice > 0)
            return 0;  // drains; OnWaveDone finishes the stop
        m_nInDevice = 0;
    }
    if (!m_bDeviceOpen)
        return 0;
    return CloseDevice();
}

int CPlaySound::CloseDevice() {
    DebugTrace("Stopped  playing \r\n");
    WriteLog("\n Stopped  playing");
    int result = m_waveOut.Reset();
    if (result != MMSYSERR_NOERROR)
        return result;
    m_bDeviceOpen = false;
    Settle(kCloseSettleMs);
    return m_waveOut.Close();
}

void CPlaySound::OnPlayEnd() {
    if (!m_bDeviceOpen)
        return;
    OnPlayStop();
    WriteLog("\nEnding the play device");
    PostQuitMessage(0);
}

void CPlaySound::SetFormat(int channels, int samplesPerSecond, int bytesPerSample) {
    int bits = std::min(bytesPerSample * 8, kMaxBitsPerSample);
    m_bStartPending = IsRunning();
    PostThreadMessage(WM_PLAY_STOP);
    SetWaveFormat(static_cast<uint16_t>(channels), bits, static_cast<uint32_t>(samplesPerSecond));
    PostThreadMessage(WM_PLAY_START);
}

void CPlaySound::WritePcm(const uint8_t* data, int length) {
    // Without this wait the decoder would run ahead while the device opens and
    // the first second or so of every medium would be refused.
    const unsigned flushes = m_nFlushes;
    const auto flushed = [&] { return m_nFlushes != flushes; };
    if (m_bStartPending)
        m_stateChanged.WaitFor(kStartWaitMaxMs, [&] { return !m_bStartPending || flushed(); });
    AddPcm(data, length);
    if (data && length > 0)
        m_nPcmBytesWritten += static_cast<uint64_t>(length);
    for (const BackPressureStep& step : kBackPressure) {
        if (GetQueuedCount() >= step.queued && m_stateChanged.WaitFor(step.sleepMs, flushed))
            break;
    }
}

CPlaySound& ThePlaySound() {
    static CPlaySound instance;
    return instance;
}

void AudioSetFormat(int channels, int samplesPerSecond, int bytesPerSample) {
    ThePlaySound().SetFormat(channels, samplesPerSecond, bytesPerSample);
}

void AudioWritePcm(const uint8_t* data, int length) {
    ThePlaySound().WritePcm(data, length);
}

uint64_t AudioBytesAccepted() {
    return ThePlaySound().GetBytesAccepted();
}

uint64_t AudioBytesHeard() {
    return ThePlaySound().GetBytesHeard();
}

void AudioPause(bool paused) {
    ThePlaySound().Pause(paused);
}

void AudioFlush() {
    ThePlaySound().Flush();
}
