#pragma once
// The "unicode" file protocol. The media libraries take file names as 8-bit
// text in the locale's character set. A wide name that the locale cannot
// represent is handed to them as a "unicode:utf8:" URL instead, and the
// file is opened by the system itself (its UTF-8 bytes are the name on disk)
// through an AVIOContext of its own: for reading when an input is opened,
// for writing when an output is created.

#include <string>

struct AVFormatContext;
struct AVInputFormat;
struct AVDictionary;

// Names the libraries' own protocols handle (never converted).
inline constexpr const char* kKnownProtocols = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
inline constexpr const char* kUnicodeURLPrefix = "unicode:utf8:";
// Longest 8-bit text handed to the libraries (their file-name fields hold
// at most this many bytes plus the terminator); longer names are refused.
inline constexpr size_t kMaxLibraryFileName = 4095;

bool NeedsUnicodeURL(const std::u16string& AFileName);
std::string MakeUnicodeURL(const std::u16string& AFileName);
bool IsUnicodeURL(const std::string& AText);
std::u16string DecodeUnicodeURL(const std::string& AText);
// The 8-bit text to hand to the library for AFileName: the "unicode:" URL
// when NeedsUnicodeURL, else the name in the locale's character set. False
// (and AText empty) when the text would be longer than kMaxLibraryFileName.
bool ToLibraryFileName(const std::u16string& AFileName, std::string& AText);
// The refusal text for a name that is too long.
std::string FileNameTooLongText(const std::u16string& AFileName);
std::u16string FileNameFromLibrary(const std::string& AText);

// The bytes of AFileName's name on disk (the UTF-8 form where the protocol
// carries the name, the local 8-bit form otherwise; a "file:" prefix is
// dropped), or empty when the name is a URL of another protocol.
std::string LocalFilePath(const std::u16string& AFileName);
// Creates the file AFileName, new and empty: fails when anything of that name
// is there already. Returns 0 or a negative error code (AVERROR(errno)).
int CreateNewFile(const std::u16string& AFileName);

// Makes the protocol available (once per process); the loader calls it when
// avformat has been bound.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();

// The protocol's operations on a file descriptor (also used by the
// AVIOContext): open returns 0 and the descriptor, or -2; read, write and
// seek return -1 on failure; seek with AVSEEK_SIZE returns the file size.
int UnicodeOpen(const std::string& AURL, int AFlags, int& AHandle);  // AFlags: AVIO_FLAG_READ/WRITE/READ_WRITE
int UnicodeRead(int AHandle, unsigned char* ABuffer, int ASize);
int UnicodeWrite(int AHandle, const unsigned char* ABuffer, int ASize);
int64_t UnicodeSeek(int AHandle, int64_t APosition, int AWhence);
int UnicodeClose(int AHandle);

// Opens the input ALibraryName (the text of ToLibraryFileName) into *AContext
// (allocated when null), as avformat_open_input does, and returns its
// result. A "unicode:" name is opened through the protocol's AVIOContext.
// On failure *AContext is freed and null, as after avformat_open_input.
int OpenInputContext(AVFormatContext** AContext, const std::string& ALibraryName, const AVInputFormat* AFormat,
                     AVDictionary** AOptions);
// Closes an input opened by OpenInputContext, with the protocol's I/O.
void CloseInputContext(AVFormatContext** AContext);

// Opens the output I/O of AContext for writing ALibraryName (avio_open, or
// the protocol for a "unicode:" name). Returns 0 or a negative error code.
int OpenOutputIO(AVFormatContext* AContext, const std::string& ALibraryName);
// Closes the output I/O of AContext opened by OpenOutputIO.
void CloseOutputIO(AVFormatContext* AContext);
