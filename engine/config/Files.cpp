// The records of an engine instance's opened files free what they hold.
#include "engine/config/Files.h"

#include <unistd.h>

#include "engine/config/AmrNbEncoder.h"
#include "runtime/FFUtils.h"
#include "runtime/OutputFiles.h"
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

namespace {

void CloseFileOf(AVFormatContext* AContext) {
  if (AContext && AContext->oformat && !(AContext->oformat->flags & AVFMT_NOFILE)) CloseOutputIO(AContext);
}

}  // namespace

TOutputFile::~TOutputFile() {
  if (!Context) return;
  CloseFileOf(Context);
  lib::avformat_free_context(Context);
}

int TOutputFile::WriteHeader() { return lib::avformat_write_header(Context, nullptr); }

int TOutputFile::WriteTrailer() {
  int result = lib::av_write_trailer(Context);
  if (result >= 0 && Context->pb) {
    lib::avio_flush(Context->pb);
    result = Context->pb->error;
  }
  return result;
}

int TOutputFile::Publish() {
  if (WrittenName.empty() || WrittenName == Name) return 0;
  // Everything is on disk before the file takes its name.
  CloseFileOf(Context);
  return PublishPartialFile(WrittenName, Name);
}

void TOutputFile::Close(bool ADiscardCreated, bool AKeepReservation) {
  const std::string url = Context->url ? Context->url : "";
  CloseFileOf(Context);
  if (url.empty()) return;
  const std::u16string name = WrittenName.empty() ? FileNameFromLibrary(url) : WrittenName;
  const bool discard = ADiscardCreated && Created;
  const bool reservation = AKeepReservation && name != Name;
  if (FileExistsW(name) && (discard || (FileSizeByName(name) == 0 && !reservation)))
    ::unlink(LocalFilePath(name).c_str());
}
