// The launcher's entry: run, then leave through the one shutdown path.
#include "core/core.h"

int main() {
    RunLauncher();
    Shutdown();
}
