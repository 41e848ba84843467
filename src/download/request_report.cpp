#include "download/request_report.h"

#include "protocol/pbus.h"

namespace facset {

RequestReport ReportLastRequest(const TPBusComm& engine, bool ok) {
  RequestReport r;
  r.ok = ok;
  if (ok) return r;
  switch (engine.LastWaitEnd()) {
    case WaitEnd::Answer: r.end = StepEnd::Refused; break;
    case WaitEnd::Timeout: r.end = StepEnd::NoAnswer; break;
    case WaitEnd::Hangup: r.end = StepEnd::LineGone; break;
    case WaitEnd::DrainLimit: r.end = StepEnd::Held; break;
    case WaitEnd::None: r.end = engine.Busy() ? StepEnd::Busy : StepEnd::None; break;
    case WaitEnd::Abort:
    case WaitEnd::SendRefused: break;
  }
  return r;
}

}  // namespace facset
