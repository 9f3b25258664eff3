// The two levels the components log at. A line is written when its level is
// not above the LOG_LV threshold, so kLogLevelEssential lines (failures, and
// every line of the session operations) come through wherever logging is on,
// and kLogLevelProgress lines (successes and progress) from LOG_LV 2 up.
#ifndef TOOLS_LOG_LOGLEVEL_H
#define TOOLS_LOG_LOGLEVEL_H

const int kLogLevelEssential = 0;
const int kLogLevelProgress = 2;

#endif  // TOOLS_LOG_LOGLEVEL_H
