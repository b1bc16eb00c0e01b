// The launcher's entry: run, then leave through the one shutdown path.
#include "core/core.h"

#if defined(TARNELO_OWN_ENTRY) && defined(__GNUC__)
// Linked without the C runtime's start-up code (see CMakeLists.txt), the
// image starts here. That code would have run the static initialisers
// (LauncherState's relaysRunning = 1), so they run here, as the linker
// lists them between a -1 and a 0: last entry first. The entry may get a
// stack aligned to 4 bytes only; the compiler realigns it.
extern "C" void (*__CTOR_LIST__[])();

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void LauncherStart() {
    unsigned count = 0;
    while (__CTOR_LIST__[count + 1] != 0) ++count;
    while (count != 0) __CTOR_LIST__[count--]();
    RunLauncher();
    Shutdown();
}
#else
int main() {
    RunLauncher();
    Shutdown();
}
#endif
