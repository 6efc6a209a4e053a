#pragma once
#include <cstdint>
#include <memory>

class Picture;

// The engine reaches the output devices only through these functions.

// Opening thread, once the audio stream of a newly opened medium is known.
// channels is at most 2, bytesPerSample is 1 or 2 (0 when the decoder states none).
void AudioSetFormat(int channels, int samplesPerSecond, int bytesPerSample);

// Audio decode thread: interleaved PCM in the announced format, at most
// 10240 bytes per call. Copies the bytes, then may sleep the caller to hold
// back a full output queue.
void AudioWritePcm(const uint8_t* data, int length);

// Any thread, lock-free: bytes of PCM the output has accepted so far, and how
// many of them have been heard (played, or dropped by AudioFlush); the
// difference is the PCM still queued. Both only grow.
uint64_t AudioBytesAccepted();
uint64_t AudioBytesHeard();

// Controlling thread. Pausing silences the output at once and keeps what is
// queued; resuming plays on from there.
void AudioPause(bool paused);

// Controlling thread: drops every byte of PCM queued for the old position.
void AudioFlush();

// Presentation thread: the picture to show now, handed to the display set
// with SetVideoWindow (output/VideoWindow.h), which draws it at the size it
// shows. A picture without a size is not shown.
void ShowPicture(std::shared_ptr<const Picture> picture);
