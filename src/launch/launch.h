// Target selection and launch: which program to start, with which command
// line, created suspended so the channels exist before its first instruction.
#ifndef TARNELO_LAUNCH_H
#define TARNELO_LAUNCH_H

#include <windows.h>

BOOL ReadModuleAndCommandLine();
BOOL ResolveTarget();
BOOL ResolveExplicitTarget();
BOOL LaunchChild();
void FreeChildCommandLine();
void LetChildOutliveLauncher();

#endif
