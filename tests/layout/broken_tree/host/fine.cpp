#include "persistence/ini_file.h"
#include "engine/plan.h"
