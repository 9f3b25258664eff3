// The yardstick for atcmd's start-up cost: a C++ program built with the same
// flags that does nothing but print one line.
#include <cstdio>

int main() {
    std::printf("\r\nOK\r\n");
    return 0;
}
