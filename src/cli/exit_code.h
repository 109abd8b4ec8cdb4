// The exit status of `check`, from the run's tally: the worst finding wins.
#pragma once

#include <cstddef>

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
