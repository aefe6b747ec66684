#include "engine/config/AmrNbEncoder.h"

#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/lib/AMRNB.h"

namespace {

// Bit rates of the modes MR475 .. MR122, in mode order.
constexpr int kModeBitRates[] = {4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200};

int ModeIndex(int64_t ABitRate) {
  int index = 0;
  for (int i = 0; i < 8; ++i)
    if (kModeBitRates[i] <= ABitRate) index = i;
  return index;
}

}  // namespace

bool IsAmrNbEncoderName(const std::string& AName) { return AName == "libopencore_amrnb" || AName == "amr_nb"; }

int TAmrNbEncoder::ModeBitRate(int64_t ABitRate) { return kModeBitRates[ModeIndex(ABitRate)]; }

void TAmrNbEncoder::Open(int ASampleRate, int AChannels, int64_t ABitRate) {
  Close();
  if (ASampleRate != kSampleRate)
    throw FFmpegException(Format("AMR-NB encodes 8000 Hz audio only, not %d Hz", ASampleRate));
  if (AChannels != kChannels)
    throw FFmpegException(Format("AMR-NB encodes mono audio only, not %d channels", AChannels));
  if (!lib::Encoder_Interface_init) throw FFmpegException("The AMR-NB encoder library is not loaded");
  FState = lib::Encoder_Interface_init(0);
  if (!FState) throw FFmpegException("The AMR-NB encoder could not be initialised");
  FMode = ModeIndex(ABitRate);
  FBitRate = kModeBitRates[FMode];
}

int TAmrNbEncoder::Encode(const int16_t* ASamples, uint8_t* APacket) {
  if (!FState) return -1;
  return lib::Encoder_Interface_Encode(FState, static_cast<Mode>(FMode), ASamples, APacket, 0);
}

void TAmrNbEncoder::Close() {
  if (FState && lib::Encoder_Interface_exit) lib::Encoder_Interface_exit(FState);
  FState = nullptr;
}
