#pragma once
// The engine's own AMR-NB speech encoder, on libopencore-amrnb: libavcodec
// has no AMR-NB encoder, and AMR-NB is the 3GP container's default audio
// codec. It takes frames of 160 samples of 8 kHz mono signed 16-bit audio
// and gives one AMR packet (storage format: a mode header byte and the
// speech bits) per frame.

#include <cstdint>
#include <string>

// The encoder names that select it ("libopencore_amrnb", "amr_nb").
bool IsAmrNbEncoderName(const std::string& AName);

class TAmrNbEncoder {
 public:
  static constexpr int kSampleRate = 8000;
  static constexpr int kChannels = 1;
  static constexpr int kFrameSamples = 160;
  static constexpr int kMaxPacketBytes = 32;

  TAmrNbEncoder() = default;
  TAmrNbEncoder(const TAmrNbEncoder&) = delete;
  TAmrNbEncoder& operator=(const TAmrNbEncoder&) = delete;
  ~TAmrNbEncoder() { Close(); }

  // The mode for a bit rate: the nearest of 4750, 5150, 5900, 6700, 7400,
  // 7950, 10200, 12200 not above it (4750 below the lowest). Returns the
  // mode's bit rate.
  static int ModeBitRate(int64_t ABitRate);

  // Opens the encoder; throws FFmpegException with a clear message for a
  // sample rate other than 8000 Hz or more than one channel.
  void Open(int ASampleRate, int AChannels, int64_t ABitRate);
  bool IsOpen() const { return FState != nullptr; }
  int BitRate() const { return FBitRate; }
  // Encodes one frame of kFrameSamples samples into APacket (at least
  // kMaxPacketBytes); returns the packet size.
  int Encode(const int16_t* ASamples, uint8_t* APacket);
  void Close();

 private:
  void* FState = nullptr;
  int FMode = 0;
  int FBitRate = 0;
};
