// streams: an ordinary program that prints with printf and std::cout and
// reads with fgets and std::getline, made to work behind the launcher by
// two calls at the start of main. Built as a GUI program (streams_gui.exe)
// it uses the launcher's streams; built as a console program
// (streams_console.exe) from the same source it finds no launcher and
// keeps its own, and writes the very same bytes.
//
//   streams [echo] [CODE]
//
// Writes a few lines to stdout and stderr, each way once; with `echo` then
// copies stdin: the first line through fgets, the rest through
// std::getline. Exits with CODE (decimal, or hex after 0x; default 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "tarnelo_child.h"

static TarneloChild child;  // about 12 KiB: not on the stack

int main(int argc, char** argv) {
    // Behind the launcher: attach and point the C runtime's streams at the
    // launcher's. Anywhere else there is no block and nothing changes.
    if (TarneloAttach(&child) == TARNELO_ATTACHED && !TarneloRedirectStdio(&child)) {
        return 2;
    }

    std::printf("printf: %d %s\n", 42, "and a line end the runtime turns into CR LF");
    std::puts("puts: a line");
    // Code that writes with WriteFile finds the same stream (and, where the
    // stream is a pipe or a file, passes the runtime's buffered lines).
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "WriteFile: GetStdHandle\r\n", 25, &written, NULL);
    std::fwrite("fwrite: a\tb\n", 1, 12, stdout);
    std::cout << "cout: " << 3.5 << " and " << 7 << std::endl;
    std::fprintf(stderr, "fprintf(stderr): %s\n", "unbuffered");
    std::cerr << "cerr: a line\n";
    std::cout << "cout: last line before input" << std::endl;

    int code = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "echo") == 0) {
            char line[256];
            if (std::fgets(line, sizeof line, stdin) != NULL) std::printf("fgets: [%s]\n", line);
            std::string text;
            int lines = 0;
            while (std::getline(std::cin, text)) {
                std::cout << "getline: [" << text << "]\n";
                ++lines;
            }
            std::cout << lines << " lines through getline" << std::endl;
        } else {
            code = static_cast<int>(std::strtoul(argv[i], NULL, 0));
        }
    }
    return code;
}
