#include "persistence/file_io.h"
