#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/MyUtil.h"
#include "runtime/lib/SDL.h"
#include "runtime/lib/SwScale.h"
#include "tests/support/TempFolder.h"

namespace {

std::u16string LibAVDir() { return ModuleDir() + u"LibAV"; }

// Where the dynamic linker loaded the object that holds AAddress from.
std::string LoadedFrom(const void* AAddress) {
  Dl_info info{};
  return ::dladdr(AAddress, &info) && info.dli_fname ? info.dli_fname : "";
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Loader.SetLibraryPath(LibAVDir());
    Loader.AutoLogCallback = false;
  }
  void TearDown() override {
    Loader.UnloadLibs({ltAVCodec, ltAVDevice, ltAVFilter, ltAVFormat, ltAVUtil, ltSwScale, ltMyUtil, ltSDL,
                       ltSwResample, ltOpenCoreAMRNB});
    for (int i = 0; i < kLibraryTypeCount; ++i) Loader.SetFileName(static_cast<TLibraryType>(i), u"");
  }

  TFFmpegLoader& Loader = FFmpegLoader();
  TTempFolder Temp{"vidmill-loader"};
};

}  // namespace

TEST(LoaderNames, LibraryFileNameOfEveryRow) {
  TFFmpegLoader loader;
  EXPECT_EQ(loader.LibraryFileName(ltAVCodec), u"libavcodec.so.59");
  EXPECT_EQ(loader.LibraryFileName(ltAVDevice), u"libavdevice.so.59");
  EXPECT_EQ(loader.LibraryFileName(ltAVFilter), u"libavfilter.so.8");
  EXPECT_EQ(loader.LibraryFileName(ltAVFormat), u"libavformat.so.59");
  EXPECT_EQ(loader.LibraryFileName(ltAVUtil), u"libavutil.so.57");
  EXPECT_EQ(loader.LibraryFileName(ltSwScale), u"libswscale.so.6");
  EXPECT_EQ(loader.LibraryFileName(ltMyUtil), u"libmyutil.so");
  EXPECT_EQ(loader.LibraryFileName(ltSDL), u"libSDL2-2.0.so.0");
  EXPECT_EQ(loader.LibraryFileName(ltSwResample), u"libswresample.so.4");
  EXPECT_EQ(loader.LibraryFileName(ltOpenCoreAMRNB), u"libopencore-amrnb.so.0");
  loader.SetFileName(ltSDL, u"/opt/sdl/libSDL2.so");
  EXPECT_EQ(loader.LibraryFileName(ltSDL), u"/opt/sdl/libSDL2.so");
}

TEST(LoaderNames, LibrarySets) {
  EXPECT_TRUE(kConverterLibraries.Has(ltSwScale));
  EXPECT_TRUE(kConverterLibraries.Has(ltOpenCoreAMRNB));
  EXPECT_FALSE(kConverterLibraries.Has(ltSDL));
  EXPECT_FALSE(kConverterLibraries.Has(ltAVDevice));
  EXPECT_TRUE(kPlayerLibraries.Has(ltSDL));
  EXPECT_FALSE(kPlayerLibraries.Has(ltAVFilter));
  EXPECT_FALSE(kPlayerLibraries.Has(ltAVDevice));
  EXPECT_TRUE(TLibrarySet{}.Empty());
}

TEST_F(LoaderTest, BothSetsLoadFromTheLibAVFolderByFullPath) {
  ASSERT_TRUE(Loader.LoadLibs(kConverterLibraries)) << Loader.LastError();
  ASSERT_TRUE(Loader.LoadLibs(kPlayerLibraries)) << Loader.LastError();
  EXPECT_TRUE(Loader.AllLoaded(kConverterLibraries));
  EXPECT_TRUE(Loader.AllLoaded(kPlayerLibraries));
  EXPECT_FALSE(Loader.IsLoaded(ltAVDevice));
  ASSERT_NE(lib::avformat_open_input, nullptr);
  ASSERT_NE(lib::sws_scale, nullptr);
  ASSERT_NE(lib::SDL_Init, nullptr);
  ASSERT_NE(lib::my_snprintf, nullptr);
  const std::string folder = SystemPath(IncludeTrailingBackslash(LibAVDir()));
  // avcodec is the first of the set and comes from the folder; the libraries
  // it needs itself (avutil) are resolved by the system and then reused.
  EXPECT_EQ(LoadedFrom(reinterpret_cast<void*>(lib::avcodec_open2)), folder + "libavcodec.so.59");
  EXPECT_EQ(LoadedFrom(reinterpret_cast<void*>(lib::my_fopen)), folder + "libmyutil.so");
  // The bound functions work.
  char text[32];
  lib::my_snprintf(text, sizeof text, "%d-%s", 7, "x");
  EXPECT_STREQ(text, "7-x");
  EXPECT_STREQ(lib::avcodec_get_name(AV_CODEC_ID_H264), "h264");
}

TEST_F(LoaderTest, ALibraryNotInTheFolderIsSearchedByItsBareName) {
  Loader.SetLibraryPath(FromLocal8Bit(Temp.Path().string()));  // an empty folder
  ASSERT_TRUE(Loader.LoadLib(ltSDL)) << Loader.LastError();
  std::string from = LoadedFrom(reinterpret_cast<void*>(lib::SDL_Init));
  EXPECT_EQ(from.find(SystemPath(Temp.Path().u16string())), std::string::npos) << from;
  // myutil exists only in the program's own folder: the bare name fails.
  EXPECT_FALSE(Loader.LoadLib(ltMyUtil));
  std::string error = Loader.LastError();
  EXPECT_EQ(error.rfind("Load library " + Temp.Path().string() + "/libmyutil.so error: ", 0), 0u) << error;
  EXPECT_NE(error.find("cannot open shared object file"), std::string::npos) << error;
}

TEST_F(LoaderTest, AMissingLibraryFailsTheSetAndUnloadsTheOthers) {
  Loader.SetFileName(ltSwScale, u"libswscale-missing.so.6");
  EXPECT_FALSE(Loader.LoadLibs(kConverterLibraries));
  EXPECT_NE(Loader.LastError().find("libswscale-missing.so.6"), std::string::npos) << Loader.LastError();
  for (TLibraryType t : {ltAVCodec, ltAVFilter, ltAVFormat, ltAVUtil, ltSwScale})
    EXPECT_FALSE(Loader.IsLoaded(t)) << static_cast<int>(t);
  EXPECT_FALSE(Loader.AllLoaded(kConverterLibraries));
  EXPECT_EQ(lib::avcodec_open2, nullptr);
  EXPECT_EQ(lib::av_malloc, nullptr);
  // Loading works again once the name is right.
  Loader.SetFileName(ltSwScale, u"");
  EXPECT_TRUE(Loader.LoadLibs(kConverterLibraries)) << Loader.LastError();
}

TEST_F(LoaderTest, AMissingFunctionNamesItselfAndUnloadsTheLibrary) {
  std::u16string fake = IncludeTrailingBackslash(ModuleDir()) + u"libvidmill_fake_library.so";
  ASSERT_TRUE(FileExistsW(fake));
  Loader.SetFileName(ltAVUtil, fake);
  EXPECT_FALSE(Loader.LoadLib(ltAVUtil));
  const std::string error = Loader.LastError();
  EXPECT_EQ(error.rfind("Load function av_log@" + SystemPath(fake) + " error: ", 0), 0u) << error;
  EXPECT_NE(error.find("undefined symbol: av_log"), std::string::npos) << error;
  EXPECT_FALSE(Loader.IsLoaded(ltAVUtil));
  EXPECT_EQ(lib::av_log, nullptr);
}

TEST_F(LoaderTest, UnloadClearsTheFunctionVariables) {
  ASSERT_TRUE(Loader.LoadLib(ltAVUtil));
  ASSERT_TRUE(Loader.IsLoaded(ltAVUtil));
  Loader.UnloadLib(ltAVUtil);
  EXPECT_FALSE(Loader.IsLoaded(ltAVUtil));
  EXPECT_EQ(lib::av_malloc, nullptr);
  Loader.UnloadLib(ltAVUtil);  // a second unload is harmless
}

TEST_F(LoaderTest, LoadingAvutilInstallsTheLoggersCallbackAndLevel) {
  TFFLogger logger;
  std::vector<std::string> lines;
  logger.OnLog = [&](TObject*, uint32_t, TLogLevel, const std::string& AMsg) { lines.push_back(AMsg); };
  logger.SetLogLevel(llWarning);
  Loader.AutoLogCallback = true;
  ASSERT_TRUE(Loader.LoadLib(ltAVUtil));
  EXPECT_EQ(lib::av_log_get_level(), AV_LOG_WARNING);  // the level set before loading
  lib::av_log(nullptr, AV_LOG_WARNING, "library says %d\n", 5);
  lib::av_log(nullptr, AV_LOG_INFO, "filtered\n");
  logger.SetLogLevel(llInfo);
  EXPECT_EQ(lib::av_log_get_level(), AV_LOG_INFO);
  lib::av_log(nullptr, AV_LOG_INFO, "now passes\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"library says 5", "now passes"}));
}

TEST_F(LoaderTest, DoubleToRationalFindsSmallTerms) {
  ASSERT_TRUE(Loader.LoadLib(ltAVUtil));
  AVRational r = DoubleToRational(16.0 / 9.0, 255);
  EXPECT_EQ(r.num, 16);
  EXPECT_EQ(r.den, 9);
  r = DoubleToRational(1.3333334, 255);
  EXPECT_EQ(r.num, 4);
  EXPECT_EQ(r.den, 3);
  r = DoubleToRational(0.0, 255);
  EXPECT_EQ(r.num, 0);
  r = DoubleToRational(1.25 * 576 / 720, 255);  // the square-pixel case
  EXPECT_EQ(r.num, 1);
  EXPECT_EQ(r.den, 1);
}
