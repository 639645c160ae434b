// Small PCM WAV files for the device's cues: a plain tone, 8 kHz, 8-bit, mono.
#pragma once

#include <cstdint>
#include <string>

namespace devkit {

constexpr uint32_t kToneSampleRate = 8000;

// A RIFF/WAVE file holding a sine tone of the given pitch and length, with short fades so that
// it starts and stops without a click.
std::string ToneWave(uint32_t frequencyHz, uint32_t durationMs);

}  // namespace devkit
