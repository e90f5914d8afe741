#pragma once

#include <memory>

#include "media/voice_encoder.h"

namespace merrowfax {

// Voice messages as FFmpeg writes them: AAC at 32 kbit/s, 16 kHz mono, in an
// MP4 (.m4a) file.
std::unique_ptr<VoiceEncoder> makeAacVoiceEncoder();

}  // namespace merrowfax
