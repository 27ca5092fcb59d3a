// Tests of the system information report.
#include <gtest/gtest.h>

#include "report/SystemReport.h"
