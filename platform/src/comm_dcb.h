// DCB <-> termios, the checks SetCommState makes, and the definition-string
// parser of BuildCommDCBW.
//
// Definition strings (letters in either case):
//   new form  [COMn[ ][:]] key=value key=value ...
//             baud=<decimal DWORD> parity=n|e|o|m|s data=5..8 stop=1|1.5|2
//             xon=on|off odsr=on|off octs=on|off idsr=on|off
//             dtr=on|off|hs rts=on|off|hs|tg to=on|off (to= is accepted and
//             changes nothing: it is a time-out setting)
//             Only the members named change, and StopBits, which a string
//             without stop= sets to its default. Pairs are separated by blanks;
//             a blank at the start or after '=', or a comma, is refused.
//   old form  [COMn[ ][:]] baud,parity,data[,stop[,x|p]]
//             Blanks around commas are allowed. Two-digit rates are the mode
//             command's abbreviations (11 = 110, 96 = 9600, 19 = 19200 ...).
//             Also sets flow control: none (DTR/RTS on, no CTS/DSR/XON),
//             x (XON/XOFF both ways), p (CTS/DSR, DTR/RTS handshake).
//   Either form without a stop value: one stop bit, two at 110 baud.
#ifndef PLATFORM_SRC_COMM_DCB_H
#define PLATFORM_SRC_COMM_DCB_H

#include <termios.h>

#include "platform/winapi.h"

namespace pal {
namespace comm {

// The termios speed of a baud rate; false for a rate the table lacks.
bool SpeedFromBaud(DWORD baud, speed_t* speed);
// The baud rate of a termios speed, or 0.
DWORD BaudFromSpeed(speed_t speed);
// The combinations SetCommState refuses whatever the device.
bool DcbIsValid(const DCB& dcb);
// No line discipline, echo or translation; the receiver on and modem status
// lines ignored. Speed, framing and flow control are left alone.
void MakeTermiosRaw(struct termios* tio);
// The DCB's speed, frame and flow control in termios.
void TermiosFromDcb(const DCB& dcb, speed_t speed, struct termios* tio);
// True when the device took the speed and frame that were asked for; a
// driver may ignore what it cannot do and still report success.
bool SameFrame(const struct termios& asked, const struct termios& got);
// Overwrites the members termios holds; the others stay as *dcb has them.
void DcbFromTermios(const struct termios& tio, DCB* dcb);
// BuildCommDCBW's parser: the string's settings into *dcb; false, and *dcb
// as it was, for a string it refuses.
bool ParseDcbDefinition(const WCHAR* def, DCB* dcb);

}  // namespace comm
}  // namespace pal

#endif  // PLATFORM_SRC_COMM_DCB_H
