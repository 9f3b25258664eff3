// CKavoParser unwraps a modem answer that arrives as a 4-byte count followed
// by that many payload bytes, and passes every other answer through unchanged.
// The MBIM exchange runs it over the received bytes when its caller asks.
#ifndef TOOLS_PARSER_CKAVOPARSER_H
#define TOOLS_PARSER_CKAVOPARSER_H

#include <string>

#include "tools/interfaces.h"

class CKavoParser : public IGlobalTools::IAtParser {
public:
    CKavoParser();
    ~CKavoParser() override;

    // Appends the unwrapped answer to out; out is not emptied first.
    void Parse(const char* data, unsigned int len, std::string& out) override;
    // Destroys the parser.
    void Release() override;
};

#endif  // TOOLS_PARSER_CKAVOPARSER_H
