// Queries of the operating system for the system information report.
#include "report/TwSysInfo.h"
