// GUI-subsystem test child for the channel tests: attaches to the launcher
// with the SDK and then, argument by argument in order, shows what it was
// given and uses it, so a test can see every handle work from the child's
// side.
//
//   log=F         append one line per action to file F (made empty first)
//   dump=F        write the 68-byte block as the child sees it to file F
//   probe         write a distinct marker through each way out: the handles
//                 stdoutWrite, stderrWrite, consoleWrite and requests 1, 2, 4
//   events        check both event handles work here (set, wait, auto-reset)
//   readdup       read stdin to its end through stdinDuplicate; log the bytes
//   readcmd       read stdin to its end through requests; log the bytes
//   readconsole   one console read through a request; log the bytes
//   say=T         write T and a newline to stdout through a request
//   sayn=N        write N bytes to stdout through one request; log the result
//   relay=N       write N bytes of numbered lines through a handle, fast
//   relayto=W     handle for relay=: so (stdoutWrite, default), se, co
//   ready=F       create file F (tells a waiting test we got here)
//   waitctrlc=MS  wait at most MS for the CTRL+C event; log what happened
//   consolemode   log the mode of the console input ("CONIN$")
//   rawmode=0|1   request cooked (0) or raw (1) console input
//   sleep=MS      pause
//   exit=N        end at once with exit code N, without detaching
//   endin=MS:N    end with exit code N after MS ms from another thread, as a
//                 program does that quits while a read of its is outstanding
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarnelo_child.h"

namespace {

HANDLE g_log = INVALID_HANDLE_VALUE;

void Log(const char* text, DWORD length) {
    if (g_log == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(g_log, text, length, &written, NULL);
}

void LogLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0) length = sizeof line - 2;
    line[length++] = '\n';
    Log(line, static_cast<DWORD>(length));
}

// "name: bytes\n", bytes as they came.
void LogBytes(const char* name, const char* bytes, DWORD count) {
    Log(name, static_cast<DWORD>(strlen(name)));
    Log(": ", 2);
    Log(bytes, count);
    Log("\n", 1);
}

BOOL WriteAll(HANDLE handle, const char* bytes, DWORD count) {
    while (count != 0) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes, count, &written, NULL) || written == 0) return FALSE;
        bytes += written;
        count -= written;
    }
    return TRUE;
}

// The launcher passes CTRL+C on as an event; the key itself must not end us.
BOOL WINAPI IgnoreBreakKeys(DWORD type) { return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT; }

const char* Value(const char* argument, const char* name) {
    size_t length = strlen(name);
    return strncmp(argument, name, length) == 0 ? argument + length : NULL;
}

void ProbeHandle(const char* name, HANDLE handle) {
    char marker[32];
    int length = sprintf(marker, "m-%s\n", name);
    if (WriteAll(handle, marker, static_cast<DWORD>(length))) {
        LogLine("probe %s ok", name);
    } else {
        LogLine("probe %s failed %lu", name, GetLastError());
    }
}

void ProbeRequest(TarneloChild* child, const char* name, DWORD command) {
    char marker[32];
    int length = sprintf(marker, "m-%s\n", name);
    DWORD error = 0;
    if (TarneloWrite(child, command, marker, static_cast<DWORD>(length), &error)) {
        LogLine("probe %s ok", name);
    } else {
        LogLine("probe %s failed %lu", name, error);
    }
}

// An event handle works here when a set is seen by one wait and one only.
void CheckEvent(const char* name, HANDLE event) {
    BOOL set = SetEvent(event);
    DWORD first = WaitForSingleObject(event, 0);
    DWORD second = WaitForSingleObject(event, 0);
    if (set && first == WAIT_OBJECT_0 && second == WAIT_TIMEOUT) {
        LogLine("event %s ok", name);
    } else {
        LogLine("event %s bad %d %lu %lu", name, set, first, second);
    }
}

// Line k of the relay pattern: "R" and k in five digits, ':', then the last
// digit of k repeated, 50 bytes with the newline.
void RelayPattern(char* bytes, DWORD count) {
    for (DWORD line = 0; line * 50 < count; ++line) {
        char text[51];
        sprintf(text, "R%05lu:", line);
        memset(text + 7, '0' + static_cast<int>(line % 10), 42);
        text[49] = '\n';
        DWORD take = count - line * 50 < 50 ? count - line * 50 : 50;
        memcpy(bytes + line * 50, text, take);
    }
}

void ReadAll(const char* name, HANDLE handle, TarneloChild* child) {
    char* bytes = static_cast<char*>(malloc(1 << 16));
    DWORD total = 0;
    DWORD error = 0;
    for (;;) {
        DWORD count = 0;
        BOOL ok = handle != NULL ? ReadFile(handle, bytes + total, (1 << 16) - total, &count, NULL)
                                 : TarneloReadStdin(child, bytes + total, (1 << 16) - total, &count, &error);
        if (!ok) {
            if (error == 0) error = GetLastError();
            break;
        }
        if (count == 0) break;
        total += count;
        if (total == (1 << 16)) break;
    }
    LogBytes(name, bytes, total);
    if (error != 0 && error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) LogLine("%s error %lu", name, error);
    free(bytes);
}

DWORD g_endCode;

DWORD WINAPI EndLater(LPVOID milliseconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(milliseconds)));
    LogLine("end %lu", GetTickCount());  // the tick count is the machine's, the same in every process
    ExitProcess(g_endCode);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetConsoleCtrlHandler(IgnoreBreakKeys, TRUE);
    TarneloChild* child = static_cast<TarneloChild*>(calloc(1, sizeof(TarneloChild)));
    int attached = TarneloAttach(child);
    HANDLE relayHandle = TarneloStdoutHandle(child);

    for (int i = 1; i < __argc; ++i) {
        const char* argument = __argv[i];
        const char* value = NULL;
        if ((value = Value(argument, "log=")) != NULL) {
            g_log = CreateFileA(value, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
            LogLine("attach %d", attached);
        } else if ((value = Value(argument, "dump=")) != NULL) {
            HANDLE file = CreateFileA(value, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            WriteAll(file, reinterpret_cast<const char*>(&child->block), sizeof child->block);
            CloseHandle(file);
        } else if (strcmp(argument, "probe") == 0) {
            ProbeHandle("so-h", TarneloStdoutHandle(child));
            ProbeHandle("se-h", TarneloStderrHandle(child));
            ProbeHandle("co-h", TarneloConsoleHandle(child));
            ProbeRequest(child, "so-r", TARNELO_CMD_WRITE_STDOUT);
            ProbeRequest(child, "se-r", TARNELO_CMD_WRITE_STDERR);
            ProbeRequest(child, "co-r", TARNELO_CMD_WRITE_CONSOLE);
        } else if (strcmp(argument, "events") == 0) {
            CheckEvent("ctrlc", TarneloCtrlCEvent(child));
            CheckEvent("ctrlbreak", TarneloCtrlBreakEvent(child));
        } else if (strcmp(argument, "readdup") == 0) {
            HANDLE in = TarneloStdinHandle(child);
            if (in == NULL) {
                LogLine("readdup none");
            } else {
                ReadAll("readdup", in, child);
            }
        } else if (strcmp(argument, "readcmd") == 0) {
            ReadAll("readcmd", NULL, child);
        } else if (strcmp(argument, "readconsole") == 0) {
            char line[4096];
            DWORD count = 0, error = 0;
            if (TarneloReadConsole(child, line, sizeof line, &count, &error)) {
                LogBytes("readconsole", line, count);
            } else {
                LogLine("readconsole failed %lu", error);
            }
        } else if ((value = Value(argument, "say=")) != NULL) {
            char text[512];
            int length = _snprintf(text, sizeof text - 1, "%s\n", value);
            DWORD error = 0;
            if (length < 0 || !TarneloWriteStdout(child, text, static_cast<DWORD>(length), &error)) {
                LogLine("say failed %lu", error);
            }
        } else if ((value = Value(argument, "sayn=")) != NULL) {
            DWORD count = strtoul(value, NULL, 10), error = 0;
            char* bytes = static_cast<char*>(calloc(count + 1, 1));
            if (TarneloWriteStdout(child, bytes, count, &error)) {
                LogLine("sayn ok");
            } else {
                LogLine("sayn failed %lu", error);
            }
            free(bytes);
        } else if ((value = Value(argument, "relayto=")) != NULL) {
            relayHandle = strcmp(value, "se") == 0   ? TarneloStderrHandle(child)
                          : strcmp(value, "co") == 0 ? TarneloConsoleHandle(child)
                                                     : TarneloStdoutHandle(child);
        } else if ((value = Value(argument, "relay=")) != NULL) {
            DWORD count = strtoul(value, NULL, 10);
            char* bytes = static_cast<char*>(malloc(count + 1));
            RelayPattern(bytes, count);
            if (!WriteAll(relayHandle, bytes, count)) LogLine("relay failed %lu", GetLastError());
            free(bytes);
        } else if ((value = Value(argument, "ready=")) != NULL) {
            CloseHandle(CreateFileA(value, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        } else if ((value = Value(argument, "waitctrlc=")) != NULL) {
            DWORD first = WaitForSingleObject(TarneloCtrlCEvent(child), strtoul(value, NULL, 10));
            DWORD second = WaitForSingleObject(TarneloCtrlCEvent(child), 0);
            LogLine("ctrlc %s, then %s", first == WAIT_OBJECT_0 ? "signalled" : "not signalled",
                    second == WAIT_OBJECT_0 ? "signalled" : "not signalled");
        } else if (strcmp(argument, "consolemode") == 0) {
            HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       NULL, OPEN_EXISTING, 0, NULL);
            DWORD mode = 0;
            if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
                LogLine("consolemode 0x%lX", mode);
            } else {
                LogLine("consolemode failed %lu", GetLastError());
            }
            if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
        } else if ((value = Value(argument, "rawmode=")) != NULL) {
            TarneloSetRawMode(child, atoi(value));
        } else if ((value = Value(argument, "sleep=")) != NULL) {
            Sleep(strtoul(value, NULL, 10));
        } else if ((value = Value(argument, "endin=")) != NULL) {
            char* code = NULL;
            DWORD milliseconds = strtoul(value, &code, 10);
            g_endCode = *code == ':' ? strtoul(code + 1, NULL, 10) : 0;
            CloseHandle(CreateThread(NULL, 0, EndLater, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(milliseconds)), 0,
                                     NULL));
        } else if ((value = Value(argument, "exit=")) != NULL) {
            ExitProcess(strtoul(value, NULL, 10));
        } else {
            LogLine("unknown argument %s", argument);
        }
    }
    TarneloDetach(child);
    return 0;
}
