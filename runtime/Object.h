#pragma once

// Common base of the system's objects that raise events: the logger, the
// engine instances, the probes, the player and the converter. Event handlers
// receive the object that raised the event as their Sender.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};
