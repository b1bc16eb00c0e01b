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
#else
int main() {
    RunLauncher();
    Shutdown();
}
#endif
