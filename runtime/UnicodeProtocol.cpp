#include "runtime/UnicodeProtocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/Text.h"
#include "runtime/lib/AVFormat.h"

namespace {

std::atomic<bool> gRegistered{false};

constexpr int kIOBufferSize = 65536;

// The state behind one protocol-owned AVIOContext.
struct TUnicodeFile {
  int Handle = -1;
};

int ReadPacket(void* AOpaque, uint8_t* ABuffer, int ASize) {
  auto* file = static_cast<TUnicodeFile*>(AOpaque);
  int n = UnicodeRead(file->Handle, ABuffer, ASize);
  if (n == 0) return AVERROR_EOF;
  return n < 0 ? AVERROR(EIO) : n;
}

int WritePacket(void* AOpaque, uint8_t* ABuffer, int ASize) {
  auto* file = static_cast<TUnicodeFile*>(AOpaque);
  int n = UnicodeWrite(file->Handle, ABuffer, ASize);
  // The system's reason (a full disk, a file too large) reaches the error
  // text of the write that failed.
  return n < 0 ? AVERROR(errno != 0 ? errno : EIO) : n;
}

int64_t SeekPacket(void* AOpaque, int64_t AOffset, int AWhence) {
  auto* file = static_cast<TUnicodeFile*>(AOpaque);
  int64_t r = UnicodeSeek(file->Handle, AOffset, AWhence & ~AVSEEK_FORCE);
  return r < 0 ? AVERROR(EIO) : r;
}

bool IsOwnIO(const AVIOContext* APb) {
  return APb != nullptr && (APb->read_packet == ReadPacket || APb->write_packet == WritePacket);
}

void FreeOwnIO(AVIOContext** APb) {
  if (!IsOwnIO(*APb)) return;
  auto* file = static_cast<TUnicodeFile*>((*APb)->opaque);
  if ((*APb)->write_flag) lib::avio_flush(*APb);
  lib::av_freep(&(*APb)->buffer);
  lib::avio_context_free(APb);
  if (file) {
    UnicodeClose(file->Handle);
    delete file;
  }
}

// A protocol-owned AVIOContext for AURL, or null with the error in AError.
AVIOContext* NewOwnIO(const std::string& AURL, bool AWrite, int& AError) {
  if (!gRegistered) {
    AError = AVERROR_PROTOCOL_NOT_FOUND;
    return nullptr;
  }
  auto* file = new TUnicodeFile;
  errno = 0;
  if (UnicodeOpen(AURL, AWrite ? AVIO_FLAG_WRITE : AVIO_FLAG_READ, file->Handle) != 0) {
    AError = AVERROR(errno != 0 ? errno : ENOENT);
    delete file;
    return nullptr;
  }
  auto* buffer = static_cast<unsigned char*>(lib::av_malloc(kIOBufferSize));
  AVIOContext* pb =
      buffer ? lib::avio_alloc_context(buffer, kIOBufferSize, AWrite ? 1 : 0, file, AWrite ? nullptr : ReadPacket,
                                       AWrite ? WritePacket : nullptr, SeekPacket)
             : nullptr;
  if (pb == nullptr) {
    lib::av_free(buffer);
    UnicodeClose(file->Handle);
    delete file;
    AError = AVERROR(ENOMEM);
    return nullptr;
  }
  return pb;
}

}  // namespace

bool NeedsUnicodeURL(const std::u16string& AFileName) {
  size_t colon = AFileName.find(u':');
  if (colon != std::u16string::npos) {
    std::string scheme = ":" + Utf16ToUtf8(AFileName.substr(0, colon)) + ":";
    if (std::string(kKnownProtocols).find(scheme) != std::string::npos) return false;
  }
  bool lossless = false;
  std::string local = ToLocal8Bit(AFileName, &lossless);
  return !lossless || FromLocal8Bit(local) != AFileName;
}

std::string MakeUnicodeURL(const std::u16string& AFileName) { return kUnicodeURLPrefix + Utf16ToUtf8(AFileName); }

bool IsUnicodeURL(const std::string& AText) {
  const std::string prefix = kUnicodeURLPrefix;
  return AText.size() > prefix.size() && AText.compare(0, prefix.size(), prefix) == 0;
}

std::u16string DecodeUnicodeURL(const std::string& AText) {
  std::u16string name = Utf8ToUtf16(AText);
  for (int i = 0; i < 2; ++i) {
    size_t colon = name.find(u':');
    if (colon == std::u16string::npos) break;
    name.erase(0, colon + 1);
  }
  return name;
}

bool ToLibraryFileName(const std::u16string& AFileName, std::string& AText) {
  std::string text = NeedsUnicodeURL(AFileName) ? MakeUnicodeURL(AFileName) : ToLocal8Bit(AFileName);
  if (text.size() > kMaxLibraryFileName) {
    AText.clear();
    return false;
  }
  AText = std::move(text);
  return true;
}

std::string FileNameTooLongText(const std::u16string& AFileName) {
  std::u16string shown = AFileName.size() > 80 ? AFileName.substr(0, 80) + u"..." : AFileName;
  return ToLocal8Bit(shown) + ": file name too long";
}

std::u16string FileNameFromLibrary(const std::string& AText) {
  return IsUnicodeURL(AText) ? DecodeUnicodeURL(AText) : FromLocal8Bit(AText);
}

std::string LocalFilePath(const std::u16string& AFileName) {
  if (AFileName.rfind(u"file:", 0) == 0) return LocalFilePath(AFileName.substr(5));
  const size_t colon = AFileName.find(u':');
  if (colon != std::u16string::npos) {
    const std::string scheme = ":" + Utf16ToUtf8(AFileName.substr(0, colon)) + ":";
    if (std::string(kKnownProtocols).find(scheme) != std::string::npos) return {};
  }
  return NeedsUnicodeURL(AFileName) ? Utf16ToUtf8(AFileName) : ToLocal8Bit(AFileName);
}

int CreateNewFile(const std::u16string& AFileName) {
  const std::string path = LocalFilePath(AFileName);
  if (path.empty()) return AVERROR(EINVAL);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return AVERROR(errno);
  ::close(fd);
  return 0;
}

void RegisterUnicodeProtocol() { gRegistered = true; }
bool UnicodeProtocolRegistered() { return gRegistered; }

int UnicodeOpen(const std::string& AURL, int AFlags, int& AHandle) {
  // The name on disk is the UTF-8 form of the wide name.
  std::string path = Utf16ToUtf8(DecodeUnicodeURL(AURL));
  int flags;
  if ((AFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
    flags = O_RDWR | O_CREAT | O_TRUNC;
  else if (AFlags & AVIO_FLAG_WRITE)
    flags = O_WRONLY | O_CREAT | O_TRUNC;
  else
    flags = O_RDONLY;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return -2;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -2;
  }
  AHandle = fd;
  return 0;
}

int UnicodeRead(int AHandle, unsigned char* ABuffer, int ASize) {
  for (;;) {
    ssize_t n = ::read(AHandle, ABuffer, static_cast<size_t>(ASize));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

int UnicodeWrite(int AHandle, const unsigned char* ABuffer, int ASize) {
  int done = 0;
  while (done < ASize) {
    ssize_t n = ::write(AHandle, ABuffer + done, static_cast<size_t>(ASize - done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return -1;
    done += static_cast<int>(n);
  }
  return done;
}

int64_t UnicodeSeek(int AHandle, int64_t APosition, int AWhence) {
  if (AWhence == AVSEEK_SIZE) {
    struct stat st;
    return ::fstat(AHandle, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }
  if (AWhence != SEEK_SET && AWhence != SEEK_CUR && AWhence != SEEK_END) return -1;
  off_t r = ::lseek(AHandle, static_cast<off_t>(APosition), AWhence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int UnicodeClose(int AHandle) { return AHandle >= 0 ? ::close(AHandle) : 0; }

int OpenInputContext(AVFormatContext** AContext, const std::string& ALibraryName, const AVInputFormat* AFormat,
                     AVDictionary** AOptions) {
  if (!IsUnicodeURL(ALibraryName)) return lib::avformat_open_input(AContext, ALibraryName.c_str(), AFormat, AOptions);
  if (*AContext == nullptr) *AContext = lib::avformat_alloc_context();
  if (*AContext == nullptr) return AVERROR(ENOMEM);
  int error = 0;
  AVIOContext* pb = NewOwnIO(ALibraryName, false, error);
  if (pb == nullptr) {
    lib::avformat_free_context(*AContext);
    *AContext = nullptr;
    return error;
  }
  (*AContext)->pb = pb;
  int r = lib::avformat_open_input(AContext, ALibraryName.c_str(), AFormat, AOptions);
  if (r < 0) FreeOwnIO(&pb);  // the failed open freed the context but not the custom I/O
  return r;
}

void CloseInputContext(AVFormatContext** AContext) {
  if (AContext == nullptr || *AContext == nullptr) return;
  AVIOContext* pb = (*AContext)->pb;
  bool own = IsOwnIO(pb);
  lib::avformat_close_input(AContext);
  if (own) FreeOwnIO(&pb);
}

int OpenOutputIO(AVFormatContext* AContext, const std::string& ALibraryName) {
  if (!IsUnicodeURL(ALibraryName)) return lib::avio_open(&AContext->pb, ALibraryName.c_str(), AVIO_FLAG_WRITE);
  int error = 0;
  AVIOContext* pb = NewOwnIO(ALibraryName, true, error);
  if (pb == nullptr) return error;
  AContext->pb = pb;
  return 0;
}

void CloseOutputIO(AVFormatContext* AContext) {
  if (AContext == nullptr || AContext->pb == nullptr) return;
  if (IsOwnIO(AContext->pb))
    FreeOwnIO(&AContext->pb);
  else
    lib::avio_closep(&AContext->pb);
}
