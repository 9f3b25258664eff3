// What the test modem answers, shared by the modem itself and the tests that
// check its answers. The modem takes one command per line (ended by CR; LF is
// ignored) and answers:
//   AT+SIMDELAY=<ms>  "\r\nOK\r\n" at once; every later answer comes <ms> late
//   AT+SIMDATA=<n>    exactly n bytes of DataReply(n), nothing else
//   AT+SIMNULLS       NullsReply(): an answer with zero bytes inside
//   AT+SIMSILENT      no answer at all
//   AT+SIMHANGUP      no answer: the modem closes the line
//   AT+SIMDEAF=<ms>   "\r\nOK\r\n" at once, then reads nothing for <ms>, so
//                     the line backs up and writes to it stall
//   AT+SIMREPLY=<text> "\r\n<text>\r\n" (a final result code of one's choice);
//                     with the text ">", the prompt "\r\n> "
//   AT+SIMRING=<ms>   "\r\nOK\r\n" at once, and "\r\nRING\r\n" <ms> later
//   ATE1, ATE0        echo of each command line (with its CR) on, off
//   AT...             "\r\nOK\r\n"
//   anything else     "\r\nERROR\r\n"
// The commands are plain text on the serial line, so a modem started outside
// a test program (ptymodem) is driven the same way as one inside it.
#ifndef TESTS_SUPPORT_MODEM_SCRIPT_H
#define TESTS_SUPPORT_MODEM_SCRIPT_H

#include <string>

namespace testsupport {

inline const char* OkReply() { return "\r\nOK\r\n"; }
inline const char* ErrorReply() { return "\r\nERROR\r\n"; }

// n bytes counting through the alphabet, so a lost, doubled or reordered
// byte shows.
inline std::string DataReply(int n) {
    std::string reply;
    for (int i = 0; i < n; ++i) {
        reply.push_back(static_cast<char>('a' + i % 26));
    }
    return reply;
}

inline std::string NullsReply() { return std::string("\r\nA\0B\0\0C\r\n", 10); }

}  // namespace testsupport

#endif  // TESTS_SUPPORT_MODEM_SCRIPT_H
