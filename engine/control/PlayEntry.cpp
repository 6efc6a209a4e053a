#include "engine/control/PlayEntry.h"

#include "engine/MediaPlayer.h"
#include "stream/VideoRecver.h"

MediaPlayer& ThePlayer() {
    // The engine does not know the transport layer; its remote source gets
    // its receivers from here.
    static MediaPlayer player;
    static const bool bFactorySet = [] {
        player.SetRecverFactory([]() -> RemoteRecver* { return new VideoRecver; });
        return true;
    }();
    (void)bFactorySet;
    return player;
}

void LocalPlay(const char* path) {
    ThePlayer().OpenLocal(path);
    Play();
}

void Play() { ThePlayer().SetPause(false); }

void Pause() { ThePlayer().SetPause(true); }

void Stop() { ThePlayer().Stop(); }

void Seek(int seconds) { ThePlayer().Seek(seconds); }

void SeekTo(double seconds) { ThePlayer().SeekTo(seconds); }

void SeekBy(double seconds) { ThePlayer().SeekBy(seconds); }

int GetPosition() { return static_cast<int>(ThePlayer().Position()); }

double GetPositionSeconds() { return ThePlayer().Position(); }

int GetDuration() { return ThePlayer().Duration(); }
