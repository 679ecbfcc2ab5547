// Allowed: high may include low.
#include "low/Low.h"
