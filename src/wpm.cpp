// Wave propagation engine.
#include "wpm.h"

// ---- grids, index volume and incident field ----

// ---- Fresnel transmission and CPU propagation ----
