#include "runtime/OutputFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "runtime/FFUtils.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavutil/error.h>
}

std::u16string PartialFileName(const std::u16string& AFileName) {
  return ExtractFilePathW(AFileName) + u"." + ExtractFileNameW(AFileName) + u".part";
}

int PublishPartialFile(const std::u16string& APartial, const std::u16string& AFileName) {
  const std::string from = LocalFilePath(APartial), to = LocalFilePath(AFileName);
  if (from.empty() || to.empty()) return AVERROR(EINVAL);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return AVERROR(errno);
  // A file system without that rename: a hard link is made only where no
  // name is, and the temporary name goes afterwards.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST) return AVERROR(EEXIST);
  // Neither (FAT and the like): look, then rename. Only another program
  // that takes the name in that instant is not protected against.
  if (NameTaken(AFileName)) return AVERROR(EEXIST);
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : AVERROR(errno);
}

bool NameTaken(const std::u16string& AFileName) {
  struct stat st;
  const std::string path = LocalFilePath(AFileName);
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

size_t FileNameLimit(const std::u16string& AFolder) {
  const std::string folder = AFolder.empty() ? std::string() : LocalFilePath(AFolder);
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : 255;
}

std::u16string FitFileName(const std::u16string& AName, size_t ALimit) {
  std::u16string name = AName;
  while (!name.empty() && LocalFilePath(name).size() > ALimit) {
    name.pop_back();
    if (!name.empty() && SurrogateKindAt(name, static_cast<int>(name.size()) - 1) == 1) name.pop_back();
  }
  return name;
}
