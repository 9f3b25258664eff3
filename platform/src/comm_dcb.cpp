// DCB <-> termios, the checks SetCommState makes, and the definition-string
// parser of BuildCommDCBW (syntax in comm_dcb.h).
#include "comm_dcb.h"

#include "comm_names.h"

namespace pal {
namespace comm {

namespace {

struct SpeedEntry {
    DWORD baud;
    speed_t speed;
};

const SpeedEntry* SpeedTable(size_t* count) {
    static const SpeedEntry table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    *count = sizeof table / sizeof table[0];
    return table;
}

}  // namespace

bool SpeedFromBaud(DWORD baud, speed_t* speed) {
    size_t count;
    const SpeedEntry* table = SpeedTable(&count);
    for (size_t i = 0; i < count; ++i) {
        if (table[i].baud == baud) {
            *speed = table[i].speed;
            return true;
        }
    }
    return false;
}

DWORD BaudFromSpeed(speed_t speed) {
    size_t count;
    const SpeedEntry* table = SpeedTable(&count);
    for (size_t i = 0; i < count; ++i) {
        if (table[i].speed == speed) {
            return table[i].baud;
        }
    }
    return 0;
}

// The combinations SetCommState refuses whatever the device.
bool DcbIsValid(const DCB& dcb) {
    if (dcb.XonChar == dcb.XoffChar) {
        return false;
    }
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) {
        return false;
    }
    if (dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) {
        return false;
    }
    if (dcb.ByteSize > 5 && dcb.StopBits == ONE5STOPBITS) {
        return false;
    }
    return true;
}

// No line discipline, echo or translation; the receiver on and modem status
// lines ignored. Speed, framing and flow control are left alone.
void MakeTermiosRaw(struct termios* tio) {
    tio->c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC | IMAXBEL);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON | ISIG | IEXTEN);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    // The descriptor is non-blocking; VMIN 1 makes an empty line read as
    // EAGAIN rather than as end of file.
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
}

void TermiosFromDcb(const DCB& dcb, speed_t speed, struct termios* tio) {
    MakeTermiosRaw(tio);
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio->c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: tio->c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio->c_cflag |= PARENB; break;
    case MARKPARITY: tio->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: tio->c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.StopBits != ONESTOPBIT) {
        tio->c_cflag |= CSTOPB;  // 1.5 stop bits with 5 data bits, as UARTs do
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        tio->c_cflag |= CRTSCTS;
    }
    tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK);
    if (dcb.fOutX) {
        tio->c_iflag |= IXON;
    }
    if (dcb.fInX) {
        tio->c_iflag |= IXOFF;
    }
    if (dcb.fParity && dcb.Parity != NOPARITY) {
        tio->c_iflag |= INPCK;
    }
    tio->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

// True when the device took the speed and frame that were asked for; a
// driver may ignore what it cannot do and still report success.
bool SameFrame(const struct termios& asked, const struct termios& got) {
    const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    tcflag_t askedFrame = asked.c_cflag & frame;
    tcflag_t gotFrame = got.c_cflag & frame;
    if (!(askedFrame & PARENB)) {
        askedFrame &= ~static_cast<tcflag_t>(PARODD | CMSPAR);
        gotFrame &= ~static_cast<tcflag_t>(PARODD | CMSPAR);
    }
    return askedFrame == gotFrame && cfgetospeed(&asked) == cfgetospeed(&got);
}

// Overwrites the members termios holds; the others stay as *dcb has them.
void DcbFromTermios(const struct termios& tio, DCB* dcb) {
    dcb->DCBlength = sizeof(DCB);
    dcb->fBinary = 1;
    dcb->BaudRate = BaudFromSpeed(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB)) {
        dcb->Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
        dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (!(tio.c_cflag & CSTOPB)) {
        dcb->StopBits = ONESTOPBIT;
    } else {
        dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    if (!(tio.c_cflag & CRTSCTS) && dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

namespace {

// ---- definition strings ----

bool IsBlank(WCHAR c) { return c == L' '; }

WCHAR Lower(WCHAR c) { return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c; }

// True when [begin, end) equals the lower-case ASCII text, ignoring case.
bool TokenIs(const WCHAR* begin, const WCHAR* end, const char* text) {
    for (; begin < end; ++begin, ++text) {
        if (*text == 0 || Lower(*begin) != static_cast<WCHAR>(*text)) {
            return false;
        }
    }
    return *text == 0;
}

bool ParseDword(const WCHAR* begin, const WCHAR* end, DWORD* out) {
    if (begin == end) {
        return false;
    }
    uint64_t n = 0;
    for (; begin < end; ++begin) {
        if (*begin < L'0' || *begin > L'9') {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(*begin - L'0');
        if (n > 0xFFFFFFFFu) {
            return false;
        }
    }
    *out = static_cast<DWORD>(n);
    return true;
}

bool ParseParity(const WCHAR* begin, const WCHAR* end, DCB* dcb) {
    if (end - begin != 1) {
        return false;
    }
    switch (Lower(*begin)) {
    case L'n': dcb->Parity = NOPARITY; return true;
    case L'o': dcb->Parity = ODDPARITY; return true;
    case L'e': dcb->Parity = EVENPARITY; return true;
    case L'm': dcb->Parity = MARKPARITY; return true;
    case L's': dcb->Parity = SPACEPARITY; return true;
    default: return false;
    }
}

bool ParseData(const WCHAR* begin, const WCHAR* end, DCB* dcb) {
    if (end - begin != 1 || *begin < L'5' || *begin > L'8') {
        return false;
    }
    dcb->ByteSize = static_cast<BYTE>(*begin - L'0');
    return true;
}

bool ParseStop(const WCHAR* begin, const WCHAR* end, DCB* dcb) {
    if (TokenIs(begin, end, "1")) {
        dcb->StopBits = ONESTOPBIT;
    } else if (TokenIs(begin, end, "1.5")) {
        dcb->StopBits = ONE5STOPBITS;
    } else if (TokenIs(begin, end, "2")) {
        dcb->StopBits = TWOSTOPBITS;
    } else {
        return false;
    }
    return true;
}

bool ParseOnOff(const WCHAR* begin, const WCHAR* end, bool* on) {
    if (TokenIs(begin, end, "on")) {
        *on = true;
    } else if (TokenIs(begin, end, "off")) {
        *on = false;
    } else {
        return false;
    }
    return true;
}

bool ParseNewForm(const WCHAR* p, DCB* dcb, bool* stopGiven) {
    bool any = false;
    while (*p) {
        if (IsBlank(*p)) {
            ++p;
            continue;
        }
        const WCHAR* key = p;
        while (*p && *p != L'=' && !IsBlank(*p)) {
            ++p;
        }
        if (*p != L'=') {
            return false;
        }
        const WCHAR* keyEnd = p++;
        const WCHAR* value = p;
        while (*p && !IsBlank(*p)) {
            ++p;
        }
        const WCHAR* valueEnd = p;
        if (value == valueEnd) {
            return false;
        }
        bool on = false;
        if (TokenIs(key, keyEnd, "baud")) {
            if (!ParseDword(value, valueEnd, &dcb->BaudRate)) {
                return false;
            }
        } else if (TokenIs(key, keyEnd, "parity")) {
            if (!ParseParity(value, valueEnd, dcb)) {
                return false;
            }
        } else if (TokenIs(key, keyEnd, "data")) {
            if (!ParseData(value, valueEnd, dcb)) {
                return false;
            }
        } else if (TokenIs(key, keyEnd, "stop")) {
            if (!ParseStop(value, valueEnd, dcb)) {
                return false;
            }
            *stopGiven = true;
        } else if (TokenIs(key, keyEnd, "to")) {
            if (!ParseOnOff(value, valueEnd, &on)) {
                return false;
            }
        } else if (TokenIs(key, keyEnd, "xon")) {
            if (!ParseOnOff(value, valueEnd, &on)) {
                return false;
            }
            dcb->fOutX = on;
            dcb->fInX = on;
        } else if (TokenIs(key, keyEnd, "odsr")) {
            if (!ParseOnOff(value, valueEnd, &on)) {
                return false;
            }
            dcb->fOutxDsrFlow = on;
        } else if (TokenIs(key, keyEnd, "octs")) {
            if (!ParseOnOff(value, valueEnd, &on)) {
                return false;
            }
            dcb->fOutxCtsFlow = on;
        } else if (TokenIs(key, keyEnd, "idsr")) {
            if (!ParseOnOff(value, valueEnd, &on)) {
                return false;
            }
            dcb->fDsrSensitivity = on;
        } else if (TokenIs(key, keyEnd, "dtr")) {
            if (TokenIs(value, valueEnd, "hs")) {
                dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
            } else if (ParseOnOff(value, valueEnd, &on)) {
                dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            } else {
                return false;
            }
        } else if (TokenIs(key, keyEnd, "rts")) {
            if (TokenIs(value, valueEnd, "hs")) {
                dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
            } else if (TokenIs(value, valueEnd, "tg")) {
                dcb->fRtsControl = RTS_CONTROL_TOGGLE;
            } else if (ParseOnOff(value, valueEnd, &on)) {
                dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            } else {
                return false;
            }
        } else {
            return false;
        }
        any = true;
    }
    return any;
}

// One comma-separated field of the old form, blanks around it skipped.
bool NextOldField(const WCHAR** p, const WCHAR** begin, const WCHAR** end) {
    const WCHAR* s = *p;
    while (IsBlank(*s)) {
        ++s;
    }
    if (*s != L',') {
        return false;
    }
    ++s;
    while (IsBlank(*s)) {
        ++s;
    }
    *begin = s;
    while (*s && *s != L',' && !IsBlank(*s)) {
        ++s;
    }
    *end = s;
    *p = s;
    return *begin != *end;
}

bool ParseOldForm(const WCHAR* p, DCB* dcb, bool* stopGiven) {
    const WCHAR* begin = p;
    while (*p && *p != L',' && !IsBlank(*p)) {
        ++p;
    }
    DWORD baud;
    if (!ParseDword(begin, p, &baud)) {
        return false;
    }
    static const struct {
        DWORD shortForm, baud;
    } abbreviations[] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},  {12, 1200},
                         {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    if (p - begin == 2) {
        for (const auto& a : abbreviations) {
            if (a.shortForm == baud) {
                baud = a.baud;
            }
        }
    }
    dcb->BaudRate = baud;
    const WCHAR* end;
    int field = 0;
    while (NextOldField(&p, &begin, &end)) {
        bool ok = false;
        switch (field++) {
        case 0: ok = ParseParity(begin, end, dcb); break;
        case 1: ok = ParseData(begin, end, dcb); break;
        case 2:
            ok = ParseStop(begin, end, dcb);
            *stopGiven = true;
            break;
        case 3: ok = end - begin == 1 && (Lower(*begin) == L'x' || Lower(*begin) == L'p'); break;
        default: break;
        }
        if (!ok) {
            return false;
        }
        if (field == 4) {
            break;
        }
    }
    while (IsBlank(*p)) {
        ++p;
    }
    if (*p) {
        return false;
    }
    const bool xon = field == 4 && Lower(*begin) == L'x';
    const bool hardware = field == 4 && Lower(*begin) == L'p';
    dcb->fOutX = xon;
    dcb->fInX = xon;
    dcb->fOutxCtsFlow = hardware;
    dcb->fOutxDsrFlow = hardware;
    dcb->fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

}  // namespace

bool ParseDcbDefinition(const WCHAR* def, DCB* dcb) {
    const WCHAR* p = def;
    if (SameLetterIgnoringCase(p[0], 'C') && SameLetterIgnoringCase(p[1], 'O') && SameLetterIgnoringCase(p[2], 'M')) {
        const int n = ReadComPrefix(&p);
        if (n == 0 || !ComPortExists(n)) {
            return false;
        }
        while (IsBlank(*p)) {
            ++p;
        }
        if (*p == L':') {
            ++p;
        }
        while (IsBlank(*p)) {
            ++p;
        }
    } else if (IsBlank(*p)) {
        return false;
    }
    bool newForm = false;
    for (const WCHAR* s = p; *s; ++s) {
        newForm = newForm || *s == L'=';
    }
    DCB work = *dcb;
    bool stopGiven = false;
    if (!(newForm ? ParseNewForm(p, &work, &stopGiven) : ParseOldForm(p, &work, &stopGiven))) {
        return false;
    }
    if (!stopGiven) {
        work.StopBits = work.BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
    }
    *dcb = work;
    return true;
}

}  // namespace comm
}  // namespace pal
