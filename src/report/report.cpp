// Fatal error reports: one fixed layout on stderr, texts from the catalogue.
#include "report/report.h"

#include <shellapi.h>

#include "core/launcher_state.h"

namespace {

const DWORD kMessageChars = 1024;
const DWORD kFirstNetworkError = 2100;
const DWORD kLastNetworkError = 2999;

// The fallback message; a constant, so ReleaseMessage must not free it.
char kUnknownError[] = "An unknown error occurred";

// Shared by every WriteFormatted call; reports run on the main thread only.
char g_formatted[kMessageChars];

void WriteBytes(HANDLE handle, const char* bytes, DWORD count) {
    DWORD written = 0;
    WriteFile(handle, bytes, count, &written, NULL);  // a lost report changes nothing
}

void WriteApplicationReason(HANDLE handle, DWORD code) {
    WriteFormatted(handle, "Reason: ");
    char* text = static_cast<char*>(LocalAlloc(LMEM_FIXED, kMessageChars));
    if (text != NULL) {
        int length = LoadStringA(g_state.moduleHandle, code & 0xFFFF, text, kMessageChars);
        if (length > 0) {
            WriteBytes(handle, text, static_cast<DWORD>(length));
            WriteFormatted(handle, "\n\r");
            LocalFree(text);
            return;
        }
        LocalFree(text);
    }
    WriteFormatted(handle, "An unknown error occurred.\r\n");
}

void WriteSystemError(HANDLE handle, DWORD code) {
    WriteFormatted(handle, "System error number: %u (0x%X) \r\n", static_cast<unsigned>(code),
                   static_cast<unsigned>(code));
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                  FORMAT_MESSAGE_ALLOCATE_BUFFER;
    HMODULE module = NULL;
    if (code >= kFirstNetworkError && code <= kLastNetworkError) {
        // Network error texts live in their own message module.
        module = LoadLibraryExA("netmsg.dll", NULL, LOAD_LIBRARY_AS_DATAFILE);
        if (module != NULL) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    char* text = NULL;
    DWORD length = FormatMessageA(flags, module, code, 0x400, reinterpret_cast<char*>(&text), 0, NULL);
    if (length != 0 && text != NULL) {
        WriteFormatted(handle, "System error text: ");
        WriteBytes(handle, text, length);
    }
    if (text != NULL) LocalFree(text);
    if (module != NULL) FreeLibrary(module);
}

void WriteReport(HANDLE handle, const char* message, DWORD code) {
    // The message is an argument, never a format: a '%' in it stays as it is.
    WriteFormatted(handle, "Fatal error: %s\r\n", message);
    if (code == 0) return;
    if ((code & APPLICATION_ERROR_BIT) != 0) {
        WriteApplicationReason(handle, code);
    } else {
        WriteSystemError(handle, code);
    }
}

int ExpandAndReport(DWORD code, const char* text, va_list* inserts) {
    char* expanded = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, text, 0,
                                  0, reinterpret_cast<char*>(&expanded), 0, inserts);
    const char* message = (length != 0 && expanded != NULL) ? expanded : text;
    g_state.failureExitCode = 1;
    WriteReport(g_state.stderrHandle, message, code);
    if (expanded != NULL) LocalFree(expanded);
    return 0;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): system code then message id, as every report names them
int Report(DWORD code, DWORD messageId, va_list* inserts) {
    char* text = LoadMessage(messageId);
    ExpandAndReport(code, text, inserts);
    ReleaseMessage(text);
    return 0;
}

DWORD ShellTextId(DWORD result) {
    if (result >= SE_ERR_SHARE && result <= SE_ERR_DLLNOTFOUND) {
        return MSG_SHELL_SHARE + (result - SE_ERR_SHARE);
    }
    return MSG_SHELL_UNKNOWN;
}

}  // namespace

void WriteFormatted(HANDLE handle, const char* format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT result = FormatBoundedV(g_formatted, sizeof g_formatted, format, args);
    va_end(args);
    if (result == BOUNDED_OK || result == BOUNDED_TRUNCATED) {
        WriteBytes(handle, g_formatted, static_cast<DWORD>(lstrlenA(g_formatted)));
    }
}

char* LoadMessage(DWORD id) {
    char* text = static_cast<char*>(LocalAlloc(LMEM_FIXED, kMessageChars));
    if (text == NULL) return kUnknownError;
    if (LoadStringA(g_state.moduleHandle, id, text, kMessageChars) == 0) {
        HRESULT result = FormatBounded(text, kMessageChars, "Application error %u", static_cast<unsigned>(id));
        if (result != BOUNDED_OK && result != BOUNDED_TRUNCATED) {
            LocalFree(text);
            return kUnknownError;
        }
    }
    return text;
}

void ReleaseMessage(char* text) {
    if (text != kUnknownError) LocalFree(text);
}

int FatalLastError(DWORD messageId, ...) {
    DWORD code = GetLastError();  // before anything can change it
    va_list inserts;
    va_start(inserts, messageId);
    Report(code, messageId, &inserts);
    va_end(inserts);
    return 0;
}

int FatalNoError(DWORD messageId, ...) {
    va_list inserts;
    va_start(inserts, messageId);
    Report(0, messageId, &inserts);
    va_end(inserts);
    return 0;
}

int FatalWithCode(DWORD code, DWORD messageId, ...) {
    va_list inserts;
    va_start(inserts, messageId);
    Report(code, messageId, &inserts);
    va_end(inserts);
    return 0;
}

int FatalShellError(DWORD shellResult, DWORD messageId, ...) {
    va_list inserts;
    va_start(inserts, messageId);
    switch (shellResult) {
        case SE_ERR_FNF:
        case SE_ERR_PNF:
        case SE_ERR_ACCESSDENIED:
        case SE_ERR_OOM:
        case ERROR_BAD_FORMAT:
            // These results are system error codes as well.
            Report(shellResult, messageId, &inserts);
            va_end(inserts);
            return 0;
        default:
            break;
    }
    char* shellText = LoadMessage(ShellTextId(shellResult));
    char* message = LoadMessage(messageId);
    const char* toReport = message;
    char* combined = static_cast<char*>(LocalAlloc(LMEM_FIXED, kMessageChars));
    if (combined != NULL) {
        HRESULT result = FormatBounded(combined, kMessageChars,
                                       "%s\r\nShell error number: %u\r\nShell error text: %s", message,
                                       static_cast<unsigned>(shellResult), shellText);
        if (result == BOUNDED_OK || result == BOUNDED_TRUNCATED) toReport = combined;
    }
    // Inserts are expanded after combining, so the message's "%1" is filled.
    ExpandAndReport(0, toReport, &inserts);
    va_end(inserts);
    if (combined != NULL) LocalFree(combined);
    ReleaseMessage(message);
    ReleaseMessage(shellText);
    return 0;
}
