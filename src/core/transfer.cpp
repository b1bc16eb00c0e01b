// Exact transfers: a zero-byte result is a failure of its own, so a caller
// never loops forever on a handle that accepts or yields nothing.
#include "core/core.h"
#include "report/report.h"

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): buffer and count, as WriteFile takes them
BOOL WriteExact(HANDLE handle, const void* bytes, DWORD count) {
    const BYTE* position = static_cast<const BYTE*>(bytes);
    while (count != 0) {
        DWORD written = 0;
        if (!WriteFile(handle, position, count, &written, NULL)) return FALSE;
        if (written == 0) {
            SetLastError(ERROR_ZERO_BYTES_WRITTEN);
            return FALSE;
        }
        if (written > count) written = count;  // never trust a count past what was asked
        position += written;
        count -= written;
    }
    return TRUE;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): buffer and count, as ReadFile takes them
BOOL ReadExact(HANDLE handle, void* bytes, DWORD count) {
    BYTE* position = static_cast<BYTE*>(bytes);
    while (count != 0) {
        DWORD read = 0;
        if (!ReadFile(handle, position, count, &read, NULL)) return FALSE;
        if (read == 0) {
            SetLastError(ERROR_ZERO_BYTES_READ);
            return FALSE;
        }
        if (read > count) read = count;
        position += read;
        count -= read;
    }
    return TRUE;
}
