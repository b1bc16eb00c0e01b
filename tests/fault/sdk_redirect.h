/* Forced into the SDK's source for its in-process tests only: the C
   runtime's _dup2 goes through the fault layer, which can fail it. */
#ifndef TARNELO_SDK_REDIRECT_H
#define TARNELO_SDK_REDIRECT_H

#include <io.h>

int Fault_dup2(int from, int to);
#define _dup2 Fault_dup2

#endif
