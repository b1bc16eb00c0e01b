// Fatal error reports on stderr and the bounded text operations.
//
// Every report operation writes one complete report, sets the failure exit
// code to 1 and returns 0, so a failing operation can `return FatalXxx(...)`.
// Reports are made on the main thread only.
#ifndef TARNELO_REPORT_H
#define TARNELO_REPORT_H

#include <windows.h>

#include <stdarg.h>

#include "report/message_ids.h"

#if defined(__GNUC__)
#define TARNELO_PRINTF(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define TARNELO_PRINTF(fmt, args)
#endif

// Results of the bounded text operations.
#define BOUNDED_OK 0
#define BOUNDED_TRUNCATED ((HRESULT)0x8007007AL)  // STRSAFE_E_INSUFFICIENT_BUFFER
#define BOUNDED_INVALID ((HRESULT)0x80070057L)    // E_INVALIDARG

// Application error codes: bit 0x20000000 set, low 16 bits the message ID of
// the reason text. Set as the thread's last error by ReadExact/WriteExact.
#define APPLICATION_ERROR_BIT 0x20000000u
#define ERROR_ZERO_BYTES_READ 0x20000001u
#define ERROR_ZERO_BYTES_WRITTEN 0x20000002u

// printf-style formatting of %s, %u and %X (and %%) into a buffer of `size`
// characters. Always NUL-terminates for a valid size; on truncation keeps the
// first size-1 characters.
HRESULT FormatBounded(char* buffer, size_t size, const char* format, ...) TARNELO_PRINTF(3, 4);
HRESULT FormatBoundedV(char* buffer, size_t size, const char* format, va_list args);
HRESULT CopyBounded(char* buffer, size_t size, const char* source);

// Formats into the shared 1,024-character buffer and writes the text (at most
// 1,023 characters) to the handle with one WriteFile. Main thread only.
void WriteFormatted(HANDLE handle, const char* format, ...) TARNELO_PRINTF(2, 3);

// The message text of a catalogue ID in a 1,024-character buffer, or the
// constant fallback; pass the result to ReleaseMessage.
char* LoadMessage(DWORD id);
void ReleaseMessage(char* text);

// The four reports. Inserts are NUL-terminated texts for "%1".
int FatalLastError(DWORD messageId, ...);
int FatalNoError(DWORD messageId, ...);
int FatalWithCode(DWORD code, DWORD messageId, ...);
int FatalShellError(DWORD shellResult, DWORD messageId, ...);

#endif
