#include "datasets/number_line.h"
#include "tools/commands.h"
