// How an AT answer ends: the final result code, the one table that says
// whether a command succeeded, failed, or has not ended yet.
//
//   line of the answer                        outcome
//   ----------------------------------------  --------
//   OK                                        Success
//   CONNECT, CONNECT <text>                   Success
//   "> " at the start of a line (the text     Success
//     prompt of AT+CMGS; no line end follows)
//   ERROR                                     Error
//   +CME ERROR: <code or text>                Error
//   +CMS ERROR: <code or text>                Error
//   NO CARRIER, BUSY, NO ANSWER, NO DIALTONE  Error
//   no such line                              None
//
// The first such line ends the answer: the echo of the command and the
// information lines come before it, and an unsolicited line after it (RING)
// is not part of it. Lines end in CR, LF or CR LF.
#ifndef DRIVER_FINAL_RESULT_H
#define DRIVER_FINAL_RESULT_H

#include <cstddef>
#include <string>

enum class FinalResult { None, Success, Error };

// The first final result code in text. A last line without its line end
// counts only when the text is whole (an answer that came in one piece);
// bytes still arriving may yet extend it. *end, when given, becomes the
// offset just past the result's line and its line end.
FinalResult FindFinalResult(const std::string& text, bool whole, size_t* end = nullptr);

// The outcome of a whole answer.
inline FinalResult ClassifyAnswer(const std::string& answer) { return FindFinalResult(answer, true); }

#endif  // DRIVER_FINAL_RESULT_H
