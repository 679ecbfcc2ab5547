// The scratch log most tests read back: see support/LogCapture.h.
#ifndef QUELVAR_TESTS_SUPPORT_LOGFILE_H
#define QUELVAR_TESTS_SUPPORT_LOGFILE_H

#include "support/LogCapture.h"

using ScratchLog = LogCapture;

#endif
