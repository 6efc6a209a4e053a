#pragma once
// Process-wide playback entries over the one MediaPlayer. None reports
// failure. Called from the controlling thread (the UI thread, or a headless
// host's main thread); GetPosition and GetDuration may be called from any thread.

class MediaPlayer;

// The one player of the process, made on first use and destroyed at exit.
MediaPlayer& ThePlayer();

// OpenLocal(path) on the player, then Play().
void LocalPlay(const char* path);
void Play();
void Pause();
void Stop();
void Seek(int seconds);
// To any position from the medium's start, or by seconds from the position
// being heard; the first picture and sound are the target's.
void SeekTo(double seconds);
void SeekBy(double seconds);
// Whole seconds (truncated toward zero) from the medium's start to the
// sound being heard, or to the picture shown for a medium without audio.
int GetPosition();
// The same in seconds with their fraction.
double GetPositionSeconds();
// Duration of the open medium in whole seconds; 0 after Stop.
int GetDuration();
