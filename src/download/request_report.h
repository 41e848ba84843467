#pragma once
// How the engine's requests ended, in the download's terms: whether a request
// was acknowledged, whether that is proven, and what ended it otherwise.

#include <cstddef>
#include <optional>
#include <string>

#include "download/verdict.h"

namespace facset {

struct RequestOutcome;
struct LinkReview;

struct RequestReport {
  bool ok = false;        // acknowledged (or answered with data)
  bool proven = true;     // and the answer cannot be a stray
  StepEnd end = StepEnd::None;
  std::string notProven;  // why not, when not proven
  // The run cannot go on: the line went away or held the request back.
  bool Fatal() const { return end == StepEnd::LineGone || end == StepEnd::Held; }
};

RequestReport ReportOf(const RequestOutcome& o);

// The requests of one step, by their place among the link's requests.
struct StepRequests {
  std::optional<std::size_t> first, last;
  void Add(std::size_t index) {
    if (!first) first = index;
    last = index;
  }
};

// The step's acknowledgements judged again with all the link showed: the
// reason the first of them lost its proof, or nullopt when none did.
std::optional<std::string> LostProof(const LinkReview& review, const StepRequests& step);

}  // namespace facset
