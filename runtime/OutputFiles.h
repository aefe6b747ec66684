#pragma once
// Where a conversion writes. An output is written under a hidden temporary
// name in its own folder (".<name>.part") and renamed onto its name when the
// conversion ends, so a conversion cut off by a crash, a power loss or a kill
// leaves no broken file under a finished name. The temporary file is also
// the name's reservation: whoever plans names treats a name whose temporary
// file exists as taken.

#include <cstddef>
#include <string>

// ".<name>.part" in the folder of AFileName.
std::u16string PartialFileName(const std::u16string& AFileName);
inline constexpr size_t kPartialNameExtraBytes = 6;  // "." and ".part"

// Renames APartial onto AFileName unless something has taken that name in the
// meantime, which is never replaced. 0, or a negative AVERROR code
// (AVERROR(EEXIST) when the name is taken).
int PublishPartialFile(const std::u16string& APartial, const std::u16string& AFileName);

// Anything at all under that name, a dangling link included.
bool NameTaken(const std::u16string& AFileName);

// The most bytes one name may have in AFolder (pathconf _PC_NAME_MAX of the
// folder, 255 when it cannot be told).
size_t FileNameLimit(const std::u16string& AFolder);

// AName with its last characters cut until its bytes on disk fit ALimit;
// never inside a character (UTF-8 and UTF-16 surrogate pairs stay whole).
std::u16string FitFileName(const std::u16string& AName, size_t ALimit);
