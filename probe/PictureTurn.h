#pragma once
// How a stored picture is turned to be shown upright: the display matrix of
// its stream (phones record the sensor's rows and mark how to turn them),
// else its "rotate" tag, reduced to the eight turns and flips of a
// rectangle. A matrix that turns by another angle counts as no turn.

#include <string>

struct AVStream;

struct TPictureTurn {
  bool Mirrored = false;  // flipped left to right first
  int Rotation = 0;       // then turned clockwise: 0, 90, 180 or 270 degrees

  bool None() const { return !Mirrored && Rotation == 0; }
  bool SidesSwap() const { return Rotation == 90 || Rotation == 270; }
  // The libavfilter chain that does it ("transpose=clock", "hflip", ...),
  // empty for none.
  std::string Filters() const;
  // "90", "270, mirrored", ...
  std::string Text() const;
};

TPictureTurn StreamPictureTurn(const AVStream* AStream);
