// Not allowed: low may not include high.
#include "high/High.h"
