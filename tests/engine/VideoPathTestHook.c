/* A frame hook module for the video path tests: it records the time stamp
   and size of every picture it is given and leaves the picture alone. It
   has no "Configure" entry point, so it takes no arguments. The tests read
   and reset the records through the exported variables. */
#include <stdint.h>

#define VIDEO_PATH_HOOK_RECORDS 4096

int64_t RecordedPts[VIDEO_PATH_HOOK_RECORDS];
int RecordedWidth = 0;
int RecordedHeight = 0;
int RecordedCount = 0; /* may exceed the records kept */
int ReleaseCount = 0;

void Process(void* AContext, void* APicture, int APixFmt, int AWidth, int AHeight, int64_t APTS) {
  (void)AContext;
  (void)APicture;
  (void)APixFmt;
  if (RecordedCount < VIDEO_PATH_HOOK_RECORDS) RecordedPts[RecordedCount] = APTS;
  ++RecordedCount;
  RecordedWidth = AWidth;
  RecordedHeight = AHeight;
}

void Release(void* AContext) {
  (void)AContext;
  ++ReleaseCount;
}
