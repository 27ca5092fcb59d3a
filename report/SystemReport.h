// The system information report appended to the log file before every send.
#pragma once

// Appends one report to m_logFilePath when m_writeLog is set. The caller holds m_reportLock.
void WriteSystemReport();
