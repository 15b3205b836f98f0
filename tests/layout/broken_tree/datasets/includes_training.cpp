#include "training/network_layout.h"
