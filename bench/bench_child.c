/* bench_child: the GUI-subsystem side of the benchmarks, run by the
   launcher (except `exit`, which is also run alone).

     bench_child exit                          ends at once (start-up cost)
     bench_child request BYTES PIECE RESULT    BYTES to stdout through requests
                                               (TarneloWriteStdout, PIECE per call)
     bench_child handle BYTES PIECE RESULT     the same bytes with WriteFile on
                                               the handed-over stdout handle
     bench_child console BYTES PIECE RESULT    text with WriteFile on the
                                               handed-over console handle
     bench_child fwrite BYTES PIECE RESULT     BYTES with fwrite(stdout) after
                                               TarneloRedirectStdio
     bench_child roundtrip COUNT RESULT        COUNT 1-byte stdout requests,
                                               each waiting for its result
     bench_child joined COUNT RESULT           the same requests written by hand,
                                               request and byte in one WriteFile
                                               (as the SDK now sends them)
     bench_child idle MS                       attaches, then does nothing for MS

   BYTES and PIECE take a K or M suffix. RESULT receives one line,
   "bytes=N us=T" or "requests=N us=T": the work and the time it took,
   measured from the first write to the last one's completion.
   Exit codes: 0 done; 2 bad arguments; 3 a transfer failed; 4 the result
   file could not be written; 100 + the TarneloAttach result. */
#include <windows.h>

#include "bench_common.h"
#include "tarnelo_child.h"

static TarneloChild child;

static int Same(const char* a, const char* b) { return lstrcmpA(a, b) == 0; }

static int RequestStream(ULONGLONG total, DWORD piece) {
    while (total != 0) {
        DWORD size = total < piece ? (DWORD)total : piece;
        DWORD error = 0;
        if (!TarneloWriteStdout(&child, g_payload, size, &error)) return 0;
        total -= size;
    }
    return 1;
}

static int RoundTrips(DWORD count, int joined) {
    /* CMD_WRITE_STDOUT, a count of 1 and the byte, as the protocol lays them out. */
    static const BYTE kJoined[9] = {1, 0, 0, 0, 1, 0, 0, 0, 'x'};
    DWORD i;
    for (i = 0; i < count; ++i) {
        DWORD error = 0;
        if (joined) {
            BYTE result[12];
            DWORD moved = 0;
            DWORD got = 0;
            if (!WriteFile(child.requests, kJoined, sizeof kJoined, &moved, NULL) || moved != sizeof kJoined) return 0;
            for (got = 0; got < sizeof result; got += moved) {
                if (!ReadFile(child.results, result + got, sizeof result - got, &moved, NULL) || moved == 0) return 0;
            }
            if (result[0] != 1) return 0;
        } else if (!TarneloWriteStdout(&child, g_payload, 1, &error)) {
            return 0;
        }
    }
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR unused, int show) {
    char* cursor = ArgumentsOf(GetCommandLineA());
    const char* mode = NextWord(&cursor);
    const char* first = NextWord(&cursor);
    const char* second = NextWord(&cursor);
    const char* third = NextWord(&cursor);
    int attached;
    int ok = 1;
    LONGLONG start;
    ULONGLONG elapsed;
    (void)instance;
    (void)previous;
    (void)unused;
    (void)show;

    if (mode == NULL) return 2;
    if (Same(mode, "exit")) return 0;

    attached = TarneloAttach(&child);
    if (attached != TARNELO_ATTACHED) return 100 + attached;

    if (Same(mode, "idle")) {
        Sleep(ParseCount(first));
        TarneloDetach(&child);
        return 0;
    }
    if (Same(mode, "roundtrip") || Same(mode, "joined")) {
        DWORD count = ParseCount(first);
        int joined = Same(mode, "joined");
        if (count == 0 || second == NULL) return 2;
        /* A first batch outside the clock: page faults, the pipes' first use. */
        if (!RoundTrips(count / 10 + 1, joined)) return 3;
        start = Now();
        ok = RoundTrips(count, joined);
        elapsed = MicrosecondsSince(start);
        TarneloDetach(&child);
        if (!ok) return 3;
        return WriteResult(second, "requests", count, elapsed) ? 0 : 4;
    }
    {
        ULONGLONG total = ParseCount(first);
        DWORD piece = ParseCount(second);
        if (total == 0 || piece == 0 || piece > BENCH_BUFFER_SIZE || third == NULL) return 2;
        if (Same(mode, "request")) {
            FillPayload(0);
            start = Now();
            ok = RequestStream(total, piece);
        } else if (Same(mode, "handle")) {
            FillPayload(0);
            start = Now();
            ok = StreamTo(TarneloStdoutHandle(&child), total, piece);
        } else if (Same(mode, "fwrite")) {
            FillPayload(0);
            if (!TarneloRedirectStdio(&child)) return 3;
            start = Now();
            ok = FwriteStdout(total, piece);
        } else if (Same(mode, "console")) {
            FillPayload(1);
            start = Now();
            ok = StreamTo(TarneloConsoleHandle(&child), total, piece);
        } else {
            return 2;
        }
        elapsed = MicrosecondsSince(start);
        TarneloDetach(&child);
        if (!ok) return 3;
        return WriteResult(third, "bytes", total, elapsed) ? 0 : 4;
    }
}
