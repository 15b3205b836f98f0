#include "engine/plan.h"
#include "mplnet/bar_dataset.h"
#include "persistence/bar_log_line.h"
