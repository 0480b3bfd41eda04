#include "analysis/freeform.h"
