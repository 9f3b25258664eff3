// The floor for `atcmd --port`: a minimal program that opens the serial
// device given, writes "AT\r\n" and reads until "OK\r\n".
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

int main(int argc, char* argv[]) {
    if (argc < 2) return 2;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) return 1;
    if (write(fd, "AT\r\n", 4) != 4) return 1;
    std::string answer;
    char buffer[256];
    while (answer.find("OK\r\n") == std::string::npos) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return 1;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}
