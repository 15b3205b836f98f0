#include "persistence/file_io.h"
#include "mplnet/fann_import.h"
