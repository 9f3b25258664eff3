// What the roads of an option run share (see road.h).
#include "road.h"

#include <cerrno>
#include <cstring>

#include "tools/interfaces.h"

void Say(const std::string& text) { std::fprintf(stderr, "atcmd: %s\n", text.c_str()); }

std::string Hex(long value) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned int>(value));
    return code;
}

std::string Seconds(unsigned long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

std::FILE* OpenCommandFile(const std::string& name) {
    std::FILE* in = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    // A folder opens but cannot be read: the first read tells.
    const int first = in != NULL ? std::fgetc(in) : EOF;
    if (in == NULL || (first == EOF && std::ferror(in))) {
        Say("cannot read " + name + ": " + std::strerror(errno));
        CloseCommandFile(in);
        return NULL;
    }
    std::ungetc(first, in);
    return in;
}

void CloseCommandFile(std::FILE* in) {
    if (in != NULL && in != stdin) std::fclose(in);
}

bool CommandLines::Next(std::string* line, bool* tooLong) {
    int c = 0;
    while (c != EOF) {
        line->clear();
        size_t length = 0;
        while ((c = std::fgetc(in_)) != EOF && c != '\n') {
            if (++length <= limit_ + 1) line->push_back(static_cast<char>(c));
        }
        if (length == 0 && c == EOF) return false;
        ++number_;
        if (!line->empty() && line->back() == '\r' && length <= limit_ + 1) {
            line->pop_back();
            --length;
        }
        if (length == 0) continue;
        *tooLong = length > limit_;
        if (*tooLong) line->clear();
        return true;
    }
    return false;
}

void LogToStandardError() {
    void* object = NULL;
    if (CreateToolInstance(IID_ILog2, &object)) {
        auto* log = static_cast<IGlobalTools::ILog2*>(object);
        log->SetStandardErrorLevel(2);
        log->Release();
    }
}
