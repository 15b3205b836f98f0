#include "mplnet/fann_import.h"
#include "persistence/file_io.h"
