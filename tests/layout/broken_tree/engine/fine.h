#include <vector>
#include "mplnet/engine.h"
#include "plan.h"
