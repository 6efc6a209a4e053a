#include "engine/control/PlayEntry.h"

#include "engine/MediaPlayer.h"

MediaPlayer& ThePlayer() {
    static MediaPlayer player;
    return player;
}

void LocalPlay(const char* path) {
    ThePlayer().OpenLocal(path);
    Play();
}

void Play() { ThePlayer().m_bPause = false; }

void Pause() { ThePlayer().m_bPause = true; }

void Stop() { ThePlayer().Stop(); }

void Seek(int seconds) { ThePlayer().Seek(seconds); }

int GetPosition() { return static_cast<int>(ThePlayer().m_dAudioClock.load()); }

int GetDuration() { return ThePlayer().m_nDuration; }
