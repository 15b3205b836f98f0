#include "datasets/row_checks.h"
#include "training/network_layout.h"
