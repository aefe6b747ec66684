#pragma once
// Where the streams of a file start and how long they are, and how they line
// up when they are played or converted together. Times are microseconds.
//
// The zero of a file is the earliest first timestamp over the streams taken.
// Streams whose first timestamps lie further apart than the larger of
// kUnrelatedStartGap and the shorter stream's length cannot overlap at all:
// that is a muxing error (a recorder that started one clock an hour late),
// not a delay, so each such stream is lined up on its own first timestamp.
// Smaller offsets are real delays between sound and picture and stay.

#include <cstdint>
#include <vector>

struct AVFormatContext;

constexpr int64_t kUnrelatedStartGap = 10 * 1000000;

struct TStreamTiming {
  bool Taken = false;
  int64_t Start = INT64_MIN;  // first timestamp; INT64_MIN: unknown
  int64_t Length = -1;        // -1: unknown
  // Added to the stream's times on top of the file's zero: 0, or minus the
  // distance to the zero for a stream lined up on its own start.
  int64_t Shift = 0;
};

struct TFileTimeline {
  int64_t Zero = 0;                    // the earliest first timestamp of the streams taken
  int64_t Length = -1;                 // the end of the last stream taken after lining up; -1: unknown
  bool SeparateStarts = false;         // some stream is lined up on its own start
  std::vector<TStreamTiming> Streams;  // by stream index
};

// The timeline of AContext over the streams ATaken marks (by index); with an
// empty ATaken, over every audio and video stream that is not discarded and
// not an attached picture.
TFileTimeline FileTimeline(const AVFormatContext* AContext, const std::vector<bool>& ATaken = {});
