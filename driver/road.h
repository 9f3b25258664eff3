// What the two roads of an option run share: the exit statuses, the one-line
// reasons on standard error, the outcome of a run, and the command lines of a
// file. The MBIM road (mbim_road.cpp) goes through the Mobile Broadband
// channel, the serial road (serial_road.cpp) through a serial port.
#ifndef DRIVER_ROAD_H
#define DRIVER_ROAD_H

#include <cstdio>
#include <string>

#include "options.h"

// Exit statuses with --exit-status (and 2 for a command line or a command
// that cannot be used, with or without it).
enum Status { kSucceeded = 0, kFailed = 1, kUnusable = 2, kUnreachable = 3, kNoAnswer = 4 };

// One line on standard error: "atcmd: <text>".
void Say(const std::string& text);
std::string Hex(long value);
std::string Seconds(unsigned long ms);

// The first failure of a run decides its status; without --exit-status the
// status is 0.
class Outcome {
public:
    explicit Outcome(bool exitStatus) : exitStatus_(exitStatus) {}
    void Record(Status status) {
        if (status_ == kSucceeded) status_ = status;
    }
    int ExitStatus() const { return exitStatus_ ? status_ : 0; }

private:
    const bool exitStatus_;
    Status status_ = kSucceeded;
};

// The command file of -f, opened and checked before any channel is made:
// NULL (with the reason said) when it cannot be read.
std::FILE* OpenCommandFile(const std::string& name);
void CloseCommandFile(std::FILE* in);

// Reads the command file line by line. A line ends in LF (a CR before it is
// dropped); empty lines are passed over; a line longer than limit is read to
// its end but not kept (*tooLong).
class CommandLines {
public:
    CommandLines(std::FILE* in, size_t limit) : in_(in), limit_(limit) {}
    // False at the end of the file.
    bool Next(std::string* line, bool* tooLong);
    unsigned long Number() const { return number_; }

private:
    std::FILE* in_;
    const size_t limit_;
    unsigned long number_ = 0;
};

// Sends the shared logger's lines of level 2 and below to standard error too.
void LogToStandardError();

int RunMbim(const Options& options);
int RunSerial(const Options& options);
// --list --probe-ports: one line per serial port that answers AT with OK.
void ProbeSerialPorts();

#endif  // DRIVER_ROAD_H
