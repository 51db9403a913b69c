// Wave propagation engine: grids, index volume, incident field, CPU propagation.
#ifndef FYRNOL_WPM_H
#define FYRNOL_WPM_H

#include <vector>

#include "system.h"

// ---- grids, index volume and incident field ----

// ---- Fresnel transmission and CPU propagation ----

#endif
