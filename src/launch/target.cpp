// Target resolution: the implicit ".wxe" beside the launcher, or an explicit
// first argument, with script files handed to the program that runs them.
#include <windows.h>
#include <shellapi.h>

#include "core/launcher_state.h"
#include "launch/launch.h"
#include "report/report.h"

namespace {

const char kPrefix[] = "tarnelo";
const int kPrefixLength = sizeof kPrefix - 1;
const LCID kCompareLocale = 1033;
const char kImplicitExtension[] = ".wxe";
// The size of every path buffer; the last character is kept for the NUL.
const DWORD kPathChars = sizeof g_state.modulePath;
const DWORD kMaxStored = kPathChars - 1;
static_assert(sizeof g_state.targetPath == kPathChars && sizeof g_state.scratchPath == kPathChars,
              "the path buffers have one size");

struct ScriptExtension {
    const char* extension;
    const char* overrideVariable;  // as reports name it
    const WCHAR* wideVariable;     // as the environment is read
};

#define SCRIPT_EXTENSION(extension, variable) {extension, variable, L##variable}
const ScriptExtension kScriptExtensions[] = {
    SCRIPT_EXTENSION(".wbt", "TARNELO_WBT"),
    SCRIPT_EXTENSION(".wbc", "TARNELO_WBC"),
    SCRIPT_EXTENSION(".w32", "TARNELO_W32"),
};
#undef SCRIPT_EXTENSION

BOOL EqualIgnoringCase(const char* a, const char* b, int length) {
    return CompareStringA(kCompareLocale, NORM_IGNORECASE, a, length, b, length) == CSTR_EQUAL;
}

// Copies the text into the target path without its double quotes (never
// longer than the target, but the copy is bounded all the same).
void CopyWithoutQuotes(char* target, const char* source) {
    DWORD stored = 0;
    for (; *source != '\0' && stored < kMaxStored; ++source) {
        if (*source != '"') target[stored++] = *source;
    }
    target[stored] = '\0';
}

// Returns the end of the command-line token at p: a space outside quotes
// (a tab belongs to the token). The quotes only switch quoting; the other
// characters, up to kMaxStored, go to `target` if given (*stored counts).
const char* ScanToken(const char* p, char* target, DWORD* stored) {
    BOOL quoting = FALSE;
    for (; *p != '\0'; ++p) {
        if (*p == '"') {
            quoting = !quoting;
        } else if (*p == ' ' && !quoting) {
            break;
        } else if (target != NULL && *stored < kMaxStored) {
            target[(*stored)++] = *p;
        }
    }
    return p;
}

// The override's value in the ANSI code page, into the scratch path: its
// length, or more than kPathChars when it does not fit, or 0 when it is
// unset or empty. Read wide and converted here rather than with
// GetEnvironmentVariableA: under a UTF-8 code page some implementations of
// the ANSI call cut the value to as many bytes as it has UTF-16 units.
DWORD ReadOverride(const WCHAR* variable) {
    WCHAR value[kPathChars];
    DWORD units = GetEnvironmentVariableW(variable, value, kPathChars);
    if (units == 0) return 0;
    if (units >= kPathChars) return kPathChars + 1;  // more units than fit: more bytes too
    int bytes = WideCharToMultiByte(CP_ACP, 0, value, -1, g_state.scratchPath, kPathChars, NULL, NULL);
    if (bytes == 0) return kPathChars + 1;  // only the buffer can be too small for a valid value
    return static_cast<DWORD>(bytes) - 1;
}

BOOL ResolveScript(const ScriptExtension& entry, const char* argumentStart) {
    // The script argument goes on to the runner exactly as typed.
    g_state.rest = argumentStart;

    DWORD length = ReadOverride(entry.wideVariable);
    if (length != 0) {
        if (length > kPathChars) return FatalNoError(MSG_VARIABLE_TOO_LONG, entry.overrideVariable);
        CopyWithoutQuotes(g_state.targetPath, g_state.scratchPath);
        return TRUE;
    }

    length = GetFullPathNameA(g_state.targetPath, kPathChars, g_state.scratchPath, NULL);
    if (length == 0) return FatalLastError(MSG_FULL_PATH_FAILED, g_state.targetPath);
    if (length > kPathChars) return FatalNoError(MSG_FULL_PATH_TOO_LONG, g_state.targetPath);

    DWORD found = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(
        FindExecutableA(g_state.scratchPath, "", g_state.targetPath)));
    if (found > 32) return TRUE;
    if (found == SE_ERR_FNF) return FatalNoError(MSG_FILE_NOT_FOUND, g_state.scratchPath);
    return FatalShellError(found, MSG_NO_EXECUTABLE, g_state.scratchPath);
}

}  // namespace

BOOL ReadModuleAndCommandLine() {
    g_state.modulePath[kMaxStored] = '\0';
    g_state.modulePathLength = GetModuleFileNameA(NULL, g_state.modulePath, kMaxStored);
    if (g_state.modulePathLength == 0) return FatalLastError(MSG_MODULE_NAME);
    if (g_state.modulePathLength < 4) return FatalNoError(MSG_MODULE_NAME_SHORT);

    const char* p = GetCommandLineA();
    if (p == NULL) return FatalLastError(MSG_COMMAND_LINE);
    if (lstrlenA(p) == 0) return FatalNoError(MSG_EMPTY_COMMAND_LINE);

    // Skip our own token.
    g_state.rest = ScanToken(p, NULL, NULL);
    return TRUE;
}

BOOL ResolveTarget() {
    DWORD nameStart = 0;
    for (DWORD i = g_state.modulePathLength; i > 0; --i) {
        char c = g_state.modulePath[i - 1];
        if (c == '\\' || c == ':') {
            nameStart = i;
            break;
        }
    }
    const char* fileName = g_state.modulePath + nameStart;
    // The length test keeps the comparison inside the path buffer.
    if (g_state.modulePathLength - nameStart >= static_cast<DWORD>(kPrefixLength) &&
        EqualIgnoringCase(fileName, kPrefix, kPrefixLength)) {
        return ResolveExplicitTarget();
    }

    // The last four characters make way for ".wxe", whatever they were.
    CopyBounded(g_state.targetPath, sizeof g_state.targetPath, g_state.modulePath);
    CopyBounded(g_state.targetPath + (g_state.modulePathLength - 4), sizeof kImplicitExtension,
                kImplicitExtension);
    return TRUE;
}

BOOL ResolveExplicitTarget() {
    const char* argumentStart = g_state.rest;
    const char* p = g_state.rest;
    while (*p == ' ') ++p;
    if (*p == '\0') return FatalNoError(MSG_NO_TARGET);

    DWORD stored = 0;
    g_state.rest = ScanToken(p, g_state.targetPath, &stored);
    if (stored == 0) return FatalNoError(MSG_NO_TARGET);
    g_state.targetPath[stored] = '\0';
    if (stored < 4) return TRUE;

    const char* extension = g_state.targetPath + stored - 4;
    for (const ScriptExtension& entry : kScriptExtensions) {
        if (EqualIgnoringCase(extension, entry.extension, 4)) return ResolveScript(entry, argumentStart);
    }
    return TRUE;
}
