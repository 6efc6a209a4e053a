#include "output/WaveOut.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr uint32_t kFullVolume = 0xFFFF;
// Device period in frames: a power of two as SDL prefers, at most 20 ms, so
// that the sound being heard is never far behind what the device took.
constexpr uint32_t kPeriodsPerSecond = 50;
constexpr uint32_t kMinPeriodFrames = 64;

// SDL's audio subsystem is reference counted but not thread-safe to init.
std::mutex g_sdlInitMutex;

uint16_t PeriodFrames(uint32_t rate) {
    uint32_t frames = kMinPeriodFrames;
    while (frames * 2 <= rate / kPeriodsPerSecond)
        frames <<= 1;
    return static_cast<uint16_t>(frames);
}

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* BaseErrorText(int code) {
    switch (code) {
    case MMSYSERR_NOERROR: return "The command was carried out.";
    case MMSYSERR_ERROR: return "Undefined external error.";
    case MMSYSERR_ALLOCATED: return "The device is already in use.";
    case MMSYSERR_INVALHANDLE: return "The device is not open.";
    case MMSYSERR_NODRIVER: return "There is no driver installed on your system.";
    case MMSYSERR_INVALPARAM: return "An invalid parameter was passed.";
    case WAVERR_BADFORMAT: return "The specified format is not supported.";
    case WAVERR_STILLPLAYING: return "Data is still playing.";
    case WAVERR_UNPREPARED: return "The header was not prepared.";
    default: return "Unknown error.";
    }
}

}  // namespace

CWaveOut::~CWaveOut() {
    if (IsOpen()) {
        Reset();
        Close();
    }
}

int CWaveOut::Open(const WAVEFORMATEX& format, CMessageThread* notify) {
    if (IsOpen())
        return MMSYSERR_ALLOCATED;
    m_strLastError.clear();
    bool supported = format.wFormatTag == WAVE_FORMAT_PCM &&
                     (format.nChannels == 1 || format.nChannels == 2) &&
                     (format.wBitsPerSample == 8 || format.wBitsPerSample == 16) &&
                     format.nSamplesPerSec >= kMinSampleRate && format.nSamplesPerSec <= kMaxSampleRate &&
                     format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8;
    if (!supported) {
        m_strLastError = "PCM with 1 or 2 channels of 8 or 16 bits at 1000 to 384000 Hz expected";
        return WAVERR_BADFORMAT;
    }

    std::lock_guard<std::mutex> initLock(g_sdlInitMutex);
    // The host decides what SIGINT and SIGTERM do.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        m_strLastError = SDL_GetError();
        return MMSYSERR_NODRIVER;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.clear();
        m_nOffset = 0;
        m_pNotify = notify;
    }
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(format.nSamplesPerSec);
    want.format = format.wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16SYS;
    want.channels = static_cast<Uint8>(format.nChannels);
    want.samples = PeriodFrames(format.nSamplesPerSec);
    want.callback = &CWaveOut::FillThunk;
    want.userdata = this;
    SDL_AudioSpec have{};
    SDL_AudioDeviceID device;
    // No allowed changes: SDL converts to whatever the hardware wants.
    device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) {
        m_strLastError = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return MMSYSERR_ERROR;
    }
    m_format = format;
    m_nBytesPlayed = 0;
    m_nBytesPerSec = format.nAvgBytesPerSec;
    m_nPeriodBytes = uint32_t(want.samples) * format.nBlockAlign;
    m_device = device;
    SDL_PauseAudioDevice(device, 0);
    return MMSYSERR_NOERROR;
}

int CWaveOut::PrepareHeader(WAVEHDR* header) {
    if (!header || !header->lpData)
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

int CWaveOut::UnprepareHeader(WAVEHDR* header) {
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

int CWaveOut::Write(WAVEHDR* header) {
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_device)
        return MMSYSERR_INVALHANDLE;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    m_pending.push_back(header);
    m_nBytesWritten += header->dwBufferLength;
    return MMSYSERR_NOERROR;
}

int CWaveOut::Reset(std::vector<WAVEHDR*>* taken) {
    if (!IsOpen())
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_pending.empty()) {
        WAVEHDR* header = m_pending.pop_front();
        m_nBytesDropped += header->dwBufferLength - std::min(m_nOffset, header->dwBufferLength);
        m_nOffset = 0;
        if (taken) {
            header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
            taken->push_back(header);
        } else {
            Complete(header);
        }
    }
    return MMSYSERR_NOERROR;
}

void CWaveOut::Hold(bool hold) {
    if (hold == m_bHeld || !IsOpen())
        return;
    // SDL's thread takes this lock around each period's fill.
    if (hold)
        SDL_LockAudioDevice(m_device);
    else
        SDL_UnlockAudioDevice(m_device);
    m_bHeld = hold;
}

int CWaveOut::Close() {
    if (!IsOpen())
        return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pending.empty())
            return WAVERR_STILLPLAYING;
    }
    Hold(false);
    // Waits for SDL's callback to finish, so m_mutex must not be held.
    SDL_CloseAudioDevice(m_device);
    m_device = 0;
    m_nPeriodBytes = 0;
    std::lock_guard<std::mutex> initLock(g_sdlInitMutex);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pNotify = nullptr;
    return MMSYSERR_NOERROR;
}

int CWaveOut::SetVolume(uint32_t volume) {
    if (!IsOpen())
        return MMSYSERR_INVALHANDLE;
    m_dwVolume = volume;
    return MMSYSERR_NOERROR;
}

std::string CWaveOut::GetErrorText(int code) const {
    std::string text = BaseErrorText(code);
    if (code != MMSYSERR_NOERROR && !m_strLastError.empty())
        text += " (" + m_strLastError + ")";
    return text;
}

WAVEHDR* CWaveOut::Finish(WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    return header;
}

void CWaveOut::Complete(WAVEHDR* header) {
    Finish(header);
    if (m_pNotify)
        m_pNotify->PostThreadMessage(MM_WOM_DONE, 0, reinterpret_cast<uintptr_t>(header));
}

void CWaveOut::ReleaseThreadState() {
    SDL_TLSCleanup();
}

void CWaveOut::FillThunk(void* self, uint8_t* stream, int length) {
    static_cast<CWaveOut*>(self)->Fill(stream, length);
}

uint64_t CWaveOut::GetBytesHeard() const {
    const FillState fill = m_fill.Read();
    const uint32_t rate = m_nBytesPerSec.load();
    // The last period's bytes play out of the device's buffer after the fill.
    const double played = double(NowUs() - fill.nFillTimeUs) * rate / 1e6;
    const uint64_t held = played >= double(fill.nLastFill) ? 0 : fill.nLastFill - uint64_t(std::max(played, 0.0));
    return fill.nTaken - held + m_nBytesDropped.load();
}

void CWaveOut::Fill(uint8_t* stream, int length) {
    uint8_t silence = m_format.wBitsPerSample == 8 ? 0x80 : 0x00;
    int done = 0;
    // Completions go out once m_mutex is free, so that the woken thread's
    // next Write does not find it held.
    WAVEHDR* finished[kMaxFinishedPerFill];
    int nFinished = 0;
    CMessageThread* notify = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (!m_bPaused && done < length && !m_pending.empty()) {
            WAVEHDR* header = m_pending.front();
            uint32_t left = header->dwBufferLength - std::min(m_nOffset, header->dwBufferLength);
            uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(length - done));
            std::memcpy(stream + done, header->lpData + m_nOffset, n);
            done += static_cast<int>(n);
            m_nOffset += n;
            if (m_nOffset >= header->dwBufferLength) {
                m_nOffset = 0;
                if (nFinished == kMaxFinishedPerFill)
                    Complete(m_pending.pop_front());
                else
                    finished[nFinished++] = Finish(m_pending.pop_front());
            }
        }
        const FillState last = m_fill.Read();
        m_fill.Write(FillState{last.nTaken + uint64_t(done), uint64_t(done), NowUs()});
        notify = m_pNotify;
    }
    for (int i = 0; notify && i < nFinished; ++i)
        notify->PostThreadMessage(MM_WOM_DONE, 0, reinterpret_cast<uintptr_t>(finished[i]));
    m_nBytesPlayed += uint64_t(length);
    if (done < length)
        std::memset(stream + done, silence, static_cast<size_t>(length - done));
    ApplyVolume(stream, done);
}

void CWaveOut::ApplyVolume(uint8_t* data, int length) const {
    const uint32_t volume = m_dwVolume.load();
    const float gain = m_fGain.load();
    // Each channel's factor in 1/65536 steps: the volume word over its full
    // level, times the gain.
    const auto factor = [gain](uint32_t word) {
        return static_cast<int32_t>(double(word) / kFullVolume * gain * 65536.0 + 0.5);
    };
    const int32_t q[2] = {factor(volume & 0xFFFF), factor(volume >> 16)};
    if (q[0] == 65536 && q[1] == 65536)
        return;
    const int channels = std::max<int>(m_format.nChannels, 1);
    if (m_format.wBitsPerSample == 16) {
        int16_t sample;
        for (int i = 0, n = length / 2; i < n; ++i) {
            std::memcpy(&sample, data + 2 * i, 2);
            sample = static_cast<int16_t>((sample * q[(i % channels) & 1]) >> 16);
            std::memcpy(data + 2 * i, &sample, 2);
        }
    } else if (m_format.wBitsPerSample == 8) {
        for (int i = 0; i < length; ++i)
            data[i] = static_cast<uint8_t>(0x80 + (((data[i] - 0x80) * q[(i % channels) & 1]) >> 16));
    }
}
