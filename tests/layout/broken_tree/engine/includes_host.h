#include "host/tavra_dll.h"
