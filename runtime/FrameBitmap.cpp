#include "runtime/FrameBitmap.h"

#include <cstring>

#include "runtime/lib/SwScale.h"

TFrameBitmap::~TFrameBitmap() { ResetFrameBitmap(*this); }

void ResetFrameBitmap(TFrameBitmap& AConverter) {
  if (lib::sws_freeContext) {
    lib::sws_freeContext(AConverter.ToRGB);
    lib::sws_freeContext(AConverter.FromRGB);
  }
  AConverter.ToRGB = nullptr;
  AConverter.FromRGB = nullptr;
  AConverter.Bitmap.SetSize(0, 0);
}

bool FrameToBitmap(TFrameBitmap& AConverter, const uint8_t* const AData[4], const int ALineSize[4], int APixFmt,
                   int AHeight, int AWidth) {
  if (AWidth <= 0 || AHeight <= 0) return false;
  TBitmap& bitmap = AConverter.Bitmap;
  if (bitmap.Width != AWidth || bitmap.Height != AHeight) bitmap.SetSize(AWidth, AHeight);
  if (APixFmt == AV_PIX_FMT_BGR24) {
    // Already packed BGR: copied row by row, no scaler.
    for (int y = 0; y < AHeight; ++y)
      std::memcpy(bitmap.ScanLine(y), AData[0] + static_cast<ptrdiff_t>(y) * ALineSize[0],
                  static_cast<size_t>(bitmap.Stride));
    return true;
  }
  AConverter.ToRGB =
      lib::sws_getCachedContext(AConverter.ToRGB, AWidth, AHeight, static_cast<AVPixelFormat>(APixFmt), AWidth, AHeight,
                                AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!AConverter.ToRGB) return false;
  const size_t size = static_cast<size_t>(bitmap.Stride) * static_cast<size_t>(AHeight);
  if (AConverter.Buffer.size() < size) AConverter.Buffer.resize(size);
  uint8_t* dst[4] = {AConverter.Buffer.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {bitmap.Stride, 0, 0, 0};
  lib::sws_scale(AConverter.ToRGB, AData, ALineSize, 0, AHeight, dst, dstStride);
  for (int y = 0; y < AHeight; ++y)
    std::memcpy(bitmap.ScanLine(y), AConverter.Buffer.data() + static_cast<size_t>(y) * bitmap.Stride,
                static_cast<size_t>(bitmap.Stride));
  return true;
}

bool BitmapToFrame(TFrameBitmap& AConverter, uint8_t* const AData[4], const int ALineSize[4], int APixFmt, int AHeight,
                   int AWidth) {
  TBitmap& bitmap = AConverter.Bitmap;
  if (bitmap.Width != AWidth || bitmap.Height != AHeight) return false;
  if (APixFmt == AV_PIX_FMT_BGR24) {
    for (int y = 0; y < AHeight; ++y)
      std::memcpy(AData[0] + static_cast<ptrdiff_t>(y) * ALineSize[0], bitmap.ScanLine(y),
                  static_cast<size_t>(bitmap.Stride));
    return true;
  }
  AConverter.FromRGB =
      lib::sws_getCachedContext(AConverter.FromRGB, AWidth, AHeight, AV_PIX_FMT_BGR24, AWidth, AHeight,
                                static_cast<AVPixelFormat>(APixFmt), SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!AConverter.FromRGB) return false;
  const uint8_t* src[4] = {bitmap.Pixels.data(), nullptr, nullptr, nullptr};
  int srcStride[4] = {bitmap.Stride, 0, 0, 0};
  lib::sws_scale(AConverter.FromRGB, src, srcStride, 0, AHeight, AData, ALineSize);
  return true;
}
