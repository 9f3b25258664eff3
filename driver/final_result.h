// How an AT answer ends: the final result code of its last line, the one
// table that says whether a command succeeded, failed, or has not ended yet.
//
//   last line of the answer                   outcome
//   ----------------------------------------  --------
//   OK                                        Success
//   CONNECT, CONNECT <text>                   Success
//   "> " (the text prompt of AT+CMGS, with    Success
//     no line end after it)
//   ERROR                                     Error
//   +CME ERROR: <code or text>                Error
//   +CMS ERROR: <code or text>                Error
//   NO CARRIER, BUSY, NO ANSWER, NO DIALTONE  Error
//   anything else, or no line at all          None
//
// Lines end in CR, LF or CR LF; empty lines at the end are passed over, so
// the echo of the command and the information lines before the result do not
// count.
#ifndef DRIVER_FINAL_RESULT_H
#define DRIVER_FINAL_RESULT_H

#include <string>

enum class FinalResult { None, Success, Error };

FinalResult ClassifyAnswer(const std::string& answer);

#endif  // DRIVER_FINAL_RESULT_H
