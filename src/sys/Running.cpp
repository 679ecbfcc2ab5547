#include "sys/Running.h"

volatile std::sig_atomic_t running = 1;
