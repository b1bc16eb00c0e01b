// The launcher's entry: run, then leave through the one shutdown path.
#include "core/core.h"

#if defined(TARNELO_OWN_ENTRY) && defined(__GNUC__)
// Linked without the C runtime's start-up code (see CMakeLists.txt), the
// image starts here. That code would also run static initialisers; the
// launcher has none (its state is zero at load). The entry may get a stack
// aligned to 4 bytes only; the compiler realigns it.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void LauncherStart() {
    RunLauncher();
    Shutdown();
}

#include <delayimp.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier): the linker's name

// Binds a delay-loaded function (shell32 and user32, CMakeLists.txt) on its
// first call: the stub the linker made calls this, and later calls go
// straight to the function. The runtime's own binder, with the hooks and
// unloading that the launcher never uses, was the largest function in the
// image. Two threads may bind at once: both load the same module and write
// the same values. Both DLLs are known DLLs, always mapped from the system
// folder, and the import libraries made for them name every function (no
// ordinals). A DLL or function that cannot be had raises the same exception
// as the runtime's binder: the process ends.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the stubs call
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr import, FARPROC* slot) {
    BYTE* base = reinterpret_cast<BYTE*>(&__ImageBase);
    HMODULE* module = reinterpret_cast<HMODULE*>(base + import->rvaHmod);
    if (*module == NULL) {
        *module = LoadLibraryA(reinterpret_cast<LPCSTR>(base + import->rvaDLLName));
        if (*module == NULL) RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 0, NULL);
    }
    FARPROC* slots = reinterpret_cast<FARPROC*>(base + import->rvaIAT);
    PIMAGE_THUNK_DATA names = reinterpret_cast<PIMAGE_THUNK_DATA>(base + import->rvaINT) + (slot - slots);
    PIMAGE_IMPORT_BY_NAME name = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names->u1.AddressOfData);
    FARPROC function = GetProcAddress(*module, name->Name);
    if (function == NULL) RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_PROC_NOT_FOUND), 0, 0, NULL);
    *slot = function;
    return function;
}
#else
int main() {
    RunLauncher();
    Shutdown();
}
#endif
