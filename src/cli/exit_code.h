// The exit status of `check`, from the run's tally: the worst finding wins;
// and the sample limit `check` takes from --max.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/veldra.h"

// First rule that applies: no bytecode 1; divergence or VaderAD-only matches
// 2; coverage gaps 1; unparsed samples under --strict-unparsed 4; otherwise
// the run is clean and only a failed lint under --strict-ecs turns 0 into 6.
inline int exit_code_for(int turbo_available, const size_t *tally, int strict_unparsed,
                         int strict_ecs, vdr_ecs_verdict ecs_verdict) {
  if (!turbo_available) return 1;
  if (tally[VDR_STATUS_DIVERGENCE] > 0 || tally[VDR_STATUS_TURBO_ONLY] > 0) return 2;
  if (tally[VDR_STATUS_COVERAGE_GAP] > 0) return 1;
  if (strict_unparsed && tally[VDR_STATUS_UNPARSED_BOTH] > 0) return 4;
  if (strict_ecs && ecs_verdict == VDR_ECS_FAIL) return 6;
  return 0;
}

// --max: base-10 and unchecked; only 1 to 2147483646 limits the run, every
// other value (0, negative, not a number, 2147483647 and up) means no limit.
inline int max_samples_from(const char *text) {
  if (!text) return 0;
  long max = strtol(text, nullptr, 10);
  if (static_cast<uint64_t>(max) - 1u < 2147483646u) return static_cast<int>(max);
  return 0;
}
