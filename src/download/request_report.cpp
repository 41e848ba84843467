#include "download/request_report.h"

#include "protocol/pbus.h"

namespace facset {

RequestReport ReportOf(const RequestOutcome& o) {
  RequestReport r;
  r.ok = o.Acknowledged();
  switch (o.end) {
    case RequestEnd::Proven:
    case RequestEnd::Aborted: break;
    case RequestEnd::NotProven:
      r.proven = false;
      r.notProven = o.reason;
      break;
    case RequestEnd::Refused: r.end = StepEnd::Refused; break;
    case RequestEnd::NoAnswer: r.end = StepEnd::NoAnswer; break;
    case RequestEnd::LineGone: r.end = StepEnd::LineGone; break;
    case RequestEnd::Held: r.end = StepEnd::Held; break;
    case RequestEnd::Busy: r.end = StepEnd::Busy; break;
  }
  return r;
}

std::optional<std::string> LostProof(const LinkReview& review, const StepRequests& step) {
  if (!step.first) return std::nullopt;
  for (std::size_t i = *step.first; i <= *step.last && i < review.requests.size(); ++i) {
    const RequestOutcome& o = review.requests[i];
    if (o.end == RequestEnd::NotProven) return o.reason;
  }
  return std::nullopt;
}

}  // namespace facset
