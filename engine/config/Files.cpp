// The records of an engine instance's opened files free what they hold.
#include "engine/config/Files.h"

#include "engine/config/AmrNbEncoder.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"

extern "C" {
#include <libavformat/avformat.h>
}

TInputFile::~TInputFile() { CloseInputContext(&Context); }

TOutputStreamSetup::TOutputStreamSetup() = default;
TOutputStreamSetup::~TOutputStreamSetup() { Clear(); }

void TOutputStreamSetup::Clear() {
  if (Codec) lib::avcodec_free_context(&Codec);
  ForcedEncoder = nullptr;
  StreamCopy = false;
  PadTop = PadBottom = PadLeft = PadRight = 0;
  AmrNb.reset();
}

TOutputFile::~TOutputFile() {
  if (!Context) return;
  if (Context->oformat && !(Context->oformat->flags & AVFMT_NOFILE)) CloseOutputIO(Context);
  lib::avformat_free_context(Context);
}
