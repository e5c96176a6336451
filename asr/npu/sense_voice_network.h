// Facts of the compiled SenseVoice network that the model wrapper, the
// features, the engine, the front door and the simulated runtime share.
#ifndef ZOR_ASR_NPU_SENSE_VOICE_NETWORK_H_
#define ZOR_ASR_NPU_SENSE_VOICE_NETWORK_H_

// Feature rows: 80 mel bins of seven stacked filter-bank frames.
constexpr int kSenseVoiceMelBins = 80;
constexpr int kSenseVoiceStackWindow = 7;
constexpr int kSenseVoiceFeatureDim = kSenseVoiceMelBins * kSenseVoiceStackWindow;  // 560
// Feature rows of a network that does not tell its own.
constexpr int kSenseVoiceDefaultFrames = 800;
// The network puts four tag frames (language, emotion, event, text
// normalisation) before the frames of the speech.
constexpr int kSenseVoiceQueryFrames = 4;
// Frames decoded beyond the speech and the tag frames, by default.
constexpr int kSenseVoiceDefaultDecodeExtraFrames = 24;
// Scores per output frame of a network whose output does not tell.
constexpr int kSenseVoiceDefaultVocab = 25055;

#endif  // ZOR_ASR_NPU_SENSE_VOICE_NETWORK_H_
