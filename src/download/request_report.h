#pragma once
// How the engine's last request ended, in the download's terms: whether it
// was acknowledged, whether that is proven, and what ended it otherwise.

#include <string>

#include "download/verdict.h"

namespace facset {

class TPBusComm;

struct RequestReport {
  bool ok = false;        // the request's own result
  bool proven = true;     // the acknowledgement cannot be a stray
  StepEnd end = StepEnd::None;
  std::string notProven;  // why not, when not proven
  // The run cannot go on: the line went away or held the request back.
  bool Fatal() const { return end == StepEnd::LineGone || end == StepEnd::Held; }
};

// `ok` is what the request returned.
RequestReport ReportLastRequest(const TPBusComm& engine, bool ok);

}  // namespace facset
