#include "probe/PictureTurn.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"

namespace {

// The display matrix's turn, as players take it: the rotation the library
// reads from it, clockwise; a matrix that also mirrors (a negative
// determinant) flips the picture after rotating it, which is the same as
// mirroring first and rotating the other way.
TPictureTurn MatrixTurn(const int32_t* AMatrix) {
  TPictureTurn turn;
  const double determinant =
      static_cast<double>(AMatrix[0]) * AMatrix[4] - static_cast<double>(AMatrix[1]) * AMatrix[3];
  int32_t rotation[9];
  std::memcpy(rotation, AMatrix, sizeof rotation);
  turn.Mirrored = determinant < 0;
  if (turn.Mirrored) {
    rotation[0] = -rotation[0];
    rotation[3] = -rotation[3];
  }
  const double counterClockwise = lib::av_display_rotation_get(rotation);
  if (std::isnan(counterClockwise)) return TPictureTurn{};
  int clockwise = static_cast<int>(std::lround(-counterClockwise));
  if (turn.Mirrored) clockwise = -clockwise;
  clockwise = ((clockwise % 360) + 360) % 360;
  if (clockwise % 90 != 0) return TPictureTurn{};  // another angle: shown as it is
  turn.Rotation = clockwise;
  return turn;
}

}  // namespace

std::string TPictureTurn::Filters() const {
  static const char* const kTurned[4] = {"", "transpose=clock", "hflip,vflip", "transpose=cclock"};
  static const char* const kMirrored[4] = {"hflip", "transpose=clock_flip", "vflip", "transpose=cclock_flip"};
  const int quarter = (Rotation / 90) & 3;
  return Mirrored ? kMirrored[quarter] : kTurned[quarter];
}

std::string TPictureTurn::Text() const { return std::to_string(Rotation) + (Mirrored ? ", mirrored" : ""); }

TPictureTurn StreamPictureTurn(const AVStream* AStream) {
  size_t size = 0;
  const uint8_t* data = lib::av_stream_get_side_data(AStream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data && size >= 9 * sizeof(int32_t)) {
    int32_t matrix[9];
    std::memcpy(matrix, data, sizeof matrix);
    return MatrixTurn(matrix);
  }
  TPictureTurn turn;
  if (const AVDictionaryEntry* tag = lib::av_dict_get(AStream->metadata, "rotate", nullptr, 0)) {
    const int degrees = ((std::atoi(tag->value) % 360) + 360) % 360;
    if (degrees % 90 == 0) turn.Rotation = degrees;
  }
  return turn;
}
