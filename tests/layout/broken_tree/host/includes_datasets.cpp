#include "datasets/row_checks.h"
