#include "runtime/Previewer.h"

#include <mutex>

#include "runtime/FFUtils.h"

namespace {
std::mutex gFactoryLock;
TPreviewerFactory& Factory() {
  static auto* factory = new TPreviewerFactory;
  return *factory;
}
}  // namespace

void SetPreviewerFactory(TPreviewerFactory AFactory) {
  std::lock_guard<std::mutex> guard(gFactoryLock);
  Factory() = std::move(AFactory);
}

std::unique_ptr<TPreviewer> CreatePreviewer() {
  TPreviewerFactory factory;
  {
    std::lock_guard<std::mutex> guard(gFactoryLock);
    factory = Factory();
  }
  return factory ? factory() : nullptr;
}

std::string PreviewCaption(int64_t APTS) {
  if (APTS == INT64_MIN) return "N/A";
  return DurationText(APTS);
}
