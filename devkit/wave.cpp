#include "devkit/wave.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace devkit {

namespace {

constexpr uint32_t kFadeMs = 10;

void PutLittleEndian(std::string &out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(char((value >> (8 * i)) & 0xFF));
}

std::string ToneSamples(uint32_t frequencyHz, uint32_t durationMs)
{
    const uint32_t count = kToneSampleRate * durationMs / 1000;
    const uint32_t fade = kToneSampleRate * kFadeMs / 1000;
    std::string samples(count, char(0x80));
    for (uint32_t i = 0; i < count; ++i) {
        double envelope = std::min({1.0, double(i) / fade, double(count - i) / fade});
        double phase = 2 * std::numbers::pi * frequencyHz * i / kToneSampleRate;
        // 8-bit PCM is unsigned with silence at 128.
        samples[i] = char(uint8_t(128 + std::lround(100 * envelope * std::sin(phase))));
    }
    return samples;
}

}  // namespace

std::string ToneWave(uint32_t frequencyHz, uint32_t durationMs)
{
    const std::string samples = ToneSamples(frequencyHz, durationMs);
    const uint32_t dataBytes = uint32_t(samples.size());
    std::string wave = "RIFF";
    PutLittleEndian(wave, 4 + (8 + 16) + (8 + dataBytes + (dataBytes & 1)), 4);
    wave += "WAVEfmt ";
    PutLittleEndian(wave, 16, 4);               // format chunk size
    PutLittleEndian(wave, 1, 2);                // PCM
    PutLittleEndian(wave, 1, 2);                // mono
    PutLittleEndian(wave, kToneSampleRate, 4);  // samples a second
    PutLittleEndian(wave, kToneSampleRate, 4);  // bytes a second
    PutLittleEndian(wave, 1, 2);                // bytes a sample frame
    PutLittleEndian(wave, 8, 2);                // bits a sample
    wave += "data";
    PutLittleEndian(wave, dataBytes, 4);
    wave += samples;
    if (dataBytes & 1)
        wave.push_back(0);  // chunks are padded to an even length
    return wave;
}

}  // namespace devkit
