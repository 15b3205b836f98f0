#include "tools/output_file.h"
