#pragma once
// The picture-to-bitmap converter of the hook and preview stages: a decoded
// picture becomes a packed 24-bit blue-green-red bitmap (TBitmap) and, for
// hooks that change it, back again.

#include <cstdint>
#include <vector>

#include "runtime/Hooks.h"

struct SwsContext;

struct TFrameBitmap {
  TFrameBitmap() = default;
  TFrameBitmap(const TFrameBitmap&) = delete;
  TFrameBitmap& operator=(const TFrameBitmap&) = delete;
  ~TFrameBitmap();

  TBitmap Bitmap;
  std::vector<uint8_t> Buffer;    // the BGR picture the scaler writes (only grows)
  SwsContext* ToRGB = nullptr;    // picture format -> BGR24
  SwsContext* FromRGB = nullptr;  // BGR24 -> picture format (the back conversion)
};

// Frees the scalers and empties the bitmap.
void ResetFrameBitmap(TFrameBitmap& AConverter);
// Converts a picture into AConverter.Bitmap; false when no conversion
// context can be made.
bool FrameToBitmap(TFrameBitmap& AConverter, const uint8_t* const AData[4], const int ALineSize[4], int APixFmt,
                   int AHeight, int AWidth);
// Converts AConverter.Bitmap back into the picture's planes; false when no
// conversion context can be made.
bool BitmapToFrame(TFrameBitmap& AConverter, uint8_t* const AData[4], const int ALineSize[4], int APixFmt, int AHeight,
                   int AWidth);
