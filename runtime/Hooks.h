#pragma once
// Types shared by the frame-hook stages of the engine, the converter and
// the preview player: the per-frame hook decision and the bitmap that hook
// and preview handlers receive.

#include <cstdint>
#include <mutex>
#include <vector>

// The per-frame hook decision.
enum THookAction : uint8_t { haContinue, haIgnore, haStop };

// A picture as handlers see it: packed 24-bit rows in blue-green-red order.
// Lock (the bitmap's canvas lock) is held while a handler works on it.
struct TBitmap {
  int Width = 0;
  int Height = 0;
  int Stride = 0;  // bytes per row
  std::vector<uint8_t> Pixels;
  std::recursive_mutex Lock;

  void SetSize(int AWidth, int AHeight) {
    Width = AWidth;
    Height = AHeight;
    Stride = AWidth * 3;
    Pixels.assign(static_cast<size_t>(Stride) * static_cast<size_t>(AHeight), 0);
  }
  uint8_t* ScanLine(int ARow) { return Pixels.data() + static_cast<size_t>(ARow) * static_cast<size_t>(Stride); }
};
