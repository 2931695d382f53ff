#pragma once
// 16-bit linear PCM WAV files (RIFF, format 1 or WAVE_FORMAT_EXTENSIBLE with
// PCM), as a voice source and for tests.

#include "media/audio/AudioStages.h"

#include <string>

namespace tvaudio {

// The whole file's samples; false with error set when it is not 16-bit PCM.
bool ReadWav(const std::string& path, PcmBlock& out, std::string& error);
bool WriteWav(const std::string& path, const PcmBlock& pcm);

} // namespace tvaudio
