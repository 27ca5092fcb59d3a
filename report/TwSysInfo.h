// Queries of the operating system for the system information report.
#pragma once
