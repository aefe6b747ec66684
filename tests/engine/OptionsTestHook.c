/* A frame hook module for the tests: inverts the luma of a band of rows at
   the top of the picture. Its one optional argument is the band's height in
   rows (8 when not given); a height below 1 is refused. */
#include <stdint.h>
#include <stdlib.h>

typedef struct {
  uint8_t* data[4];
  int linesize[4];
} HookPicture;

typedef struct {
  int Band;
} HookContext;

/* How many contexts this loaded copy of the module has configured. */
int ConfigureCount = 0;

int Configure(void** AContext, int argc, char* argv[]) {
  int band = argc > 1 ? atoi(argv[1]) : 8;
  if (band < 1) return -1;
  HookContext* context = malloc(sizeof *context);
  if (!context) return -1;
  context->Band = band;
  *AContext = context;
  ++ConfigureCount;
  return 0;
}

void Process(void* AContext, HookPicture* APicture, int APixFmt, int AWidth, int AHeight, int64_t APTS) {
  (void)APixFmt;
  (void)APTS;
  const HookContext* context = AContext;
  int rows = context->Band < AHeight ? context->Band : AHeight;
  for (int y = 0; y < rows; ++y) {
    uint8_t* row = APicture->data[0] + (long)y * APicture->linesize[0];
    for (int x = 0; x < AWidth; ++x) row[x] = (uint8_t)(255 - row[x]);
  }
}

void Release(void* AContext) { free(AContext); }
