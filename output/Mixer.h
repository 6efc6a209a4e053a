#pragma once
#include <cstdint>
#include <string>

// The system volume of the audio output: the ALSA simple-mixer control of the
// default card ("Master", else "PCM"). The control and its range are found
// once at construction; every get or set opens and closes the mixer, so no
// handle is held between calls. Without a mixer the object is not ready and
// every call is silent: GetVolume returns 0, SetVolume does nothing, and both
// bounds are 0.
//
// Threads: the user-interface thread only.
class CMixer {
public:
    static constexpr uint32_t kModeWaveOut = 1;

    // lineKind is accepted and ignored; mode kModeWaveOut selects the playback
    // volume, any other mode the capture volume of the default card.
    CMixer(uint32_t lineKind, uint32_t mode);
    virtual ~CMixer() = default;

    uint32_t GetVolume() const;
    void SetVolume(uint32_t value);
    uint32_t GetMax() const { return m_nMax; }
    uint32_t GetMin() const { return m_nMin; }
    bool IsReady() const { return m_bReady; }

private:
    uint32_t m_nChannels = 0;            // 1 drives every channel alike
    uint32_t m_nControlId = 0xFFFFFFFFu; // index of the element named m_strControl
    uint32_t m_nMax = 0;
    uint32_t m_nMin = 0;
    bool m_bReady = false;
    bool m_bPlayback = true;
    std::string m_strControl;
};
