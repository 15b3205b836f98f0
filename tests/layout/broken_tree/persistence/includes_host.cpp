#include "../host/bar_log.h"
