// Console output relays: one-way pipes the child writes straight into, each
// drained to a console destination by a thread of its own.
#ifndef TARNELO_RELAY_H
#define TARNELO_RELAY_H

#include <windows.h>

#include "core/launcher_state.h"

#define RELAY_PIPE_SIZE 256u
#define RELAY_BUFFER_SIZE 257u

// Creates the pipe, hands its write end to the child in *childWriteEnd,
// allocates the buffer and starts the thread. A failed thread start is left
// for the caller to report.
BOOL StartOutputRelay(HANDLE* thread, OutputRelay* relay, HANDLE destination, DWORD* childWriteEnd);
DWORD WINAPI OutputRelayThread(LPVOID relay);

#endif
