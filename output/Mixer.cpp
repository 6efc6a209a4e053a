#include "output/Mixer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace {

constexpr const char* kCard = "default";
constexpr const char* kPlaybackControls[] = {"Master", "PCM"};
constexpr const char* kCaptureControls[] = {"Capture"};

// ALSA reports failures on stderr by default; a missing mixer is normal here.
void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

struct MixerCloser {
    void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
using MixerHandle = std::unique_ptr<snd_mixer_t, MixerCloser>;

// The opened and loaded mixer of the default card, or null.
MixerHandle OpenMixer() {
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(&SilentAlsaErrors); });
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0)
        return nullptr;
    MixerHandle mixer(raw);
    if (snd_mixer_attach(raw, kCard) < 0 || snd_mixer_selem_register(raw, nullptr, nullptr) < 0 ||
        snd_mixer_load(raw) < 0)
        return nullptr;
    return mixer;
}

snd_mixer_elem_t* FindElement(snd_mixer_t* mixer, const char* name, unsigned index) {
    snd_mixer_selem_id_t* id = nullptr;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_name(id, name);
    snd_mixer_selem_id_set_index(id, index);
    return snd_mixer_find_selem(mixer, id);
}

bool HasVolume(snd_mixer_elem_t* elem, bool playback) {
    return elem && (playback ? snd_mixer_selem_has_playback_volume(elem)
                             : snd_mixer_selem_has_capture_volume(elem));
}

}  // namespace

CMixer::CMixer(uint32_t /*lineKind*/, uint32_t mode) : m_bPlayback(mode == kModeWaveOut) {
    MixerHandle mixer = OpenMixer();
    if (!mixer)
        return;
    snd_mixer_elem_t* elem = nullptr;
    if (m_bPlayback) {
        for (const char* name : kPlaybackControls) {
            if (HasVolume(elem = FindElement(mixer.get(), name, 0), true)) {
                m_strControl = name;
                break;
            }
        }
    } else {
        for (const char* name : kCaptureControls) {
            if (HasVolume(elem = FindElement(mixer.get(), name, 0), false)) {
                m_strControl = name;
                break;
            }
        }
    }
    if (m_strControl.empty())
        return;
    long min = 0, max = 0;
    if (m_bPlayback) {
        m_nChannels = 1;
        snd_mixer_selem_get_playback_volume_range(elem, &min, &max);
    } else {
        m_nChannels = snd_mixer_selem_is_capture_mono(elem) ? 1 : 2;
        snd_mixer_selem_get_capture_volume_range(elem, &min, &max);
    }
    m_nControlId = snd_mixer_selem_get_index(elem);
    m_nMin = static_cast<uint32_t>(std::max(min, 0L));
    m_nMax = static_cast<uint32_t>(std::max(max, 0L));
    m_bReady = true;
}

uint32_t CMixer::GetVolume() const {
    if (!m_bReady)
        return 0;
    MixerHandle mixer = OpenMixer();
    if (!mixer)
        return 0;
    snd_mixer_elem_t* elem = FindElement(mixer.get(), m_strControl.c_str(), m_nControlId);
    long value = 0;
    int rc = !elem ? -1
             : m_bPlayback
                 ? snd_mixer_selem_get_playback_volume(elem, SND_MIXER_SCHN_FRONT_LEFT, &value)
                 : snd_mixer_selem_get_capture_volume(elem, SND_MIXER_SCHN_FRONT_LEFT, &value);
    return rc < 0 ? 0 : static_cast<uint32_t>(std::max(value, 0L));
}

void CMixer::SetVolume(uint32_t value) {
    if (!m_bReady)
        return;
    MixerHandle mixer = OpenMixer();
    if (!mixer)
        return;
    snd_mixer_elem_t* elem = FindElement(mixer.get(), m_strControl.c_str(), m_nControlId);
    if (!elem)
        return;
    long level = static_cast<long>(value);
    if (m_bPlayback && m_nChannels == 1) {
        snd_mixer_selem_set_playback_volume_all(elem, level);
    } else {
        for (uint32_t ch = 0; ch < m_nChannels; ++ch)
            snd_mixer_selem_set_capture_volume(elem, static_cast<snd_mixer_selem_channel_id_t>(ch), level);
    }
}
