// Forced into the launcher's sources in test builds only (never into the
// shipped executable): every fallible platform call goes through the fault
// layer, which can fail it with a chosen error and records its arguments.
#ifndef TARNELO_FAULT_REDIRECT_H
#define TARNELO_FAULT_REDIRECT_H

#include <windows.h>
#include <shellapi.h>

#include "fault_calls.h"

#define FAULT_DECLARE(name, type, failure, params, args) extern "C" type WINAPI Fault_##name params;
FAULT_CALLS(FAULT_DECLARE)
#undef FAULT_DECLARE
extern "C" __declspec(noreturn) void WINAPI Fault_ExitProcess(UINT code);
extern "C" void WINAPI Fault_Sleep(DWORD milliseconds);

#define GetModuleHandleA Fault_GetModuleHandleA
#define GetStdHandle Fault_GetStdHandle
#define GetProcAddress Fault_GetProcAddress
#define CreateFileA Fault_CreateFileA
#define CreateEventA Fault_CreateEventA
#define SetConsoleCtrlHandler Fault_SetConsoleCtrlHandler
#define LocalAlloc Fault_LocalAlloc
#define LocalFree Fault_LocalFree
#define ResumeThread Fault_ResumeThread
#define TerminateProcess Fault_TerminateProcess
#define GetConsoleMode Fault_GetConsoleMode
#define SetConsoleMode Fault_SetConsoleMode
#define GetModuleFileNameA Fault_GetModuleFileNameA
#define GetCommandLineA Fault_GetCommandLineA
#define CompareStringA Fault_CompareStringA
#define GetEnvironmentVariableW Fault_GetEnvironmentVariableW
#define WideCharToMultiByte Fault_WideCharToMultiByte
#define GetFullPathNameA Fault_GetFullPathNameA
#define FindExecutableA Fault_FindExecutableA
#define GetPriorityClass Fault_GetPriorityClass
#define CreateProcessA Fault_CreateProcessA
#define CreateJobObjectA Fault_CreateJobObjectA
#define SetInformationJobObject Fault_SetInformationJobObject
#define AssignProcessToJobObject Fault_AssignProcessToJobObject
#define CreateFileMappingA Fault_CreateFileMappingA
#define MapViewOfFile Fault_MapViewOfFile
#define UnmapViewOfFile Fault_UnmapViewOfFile
#define CreatePipe Fault_CreatePipe
#define DuplicateHandle Fault_DuplicateHandle
#define GetFileType Fault_GetFileType
#define CreateThread Fault_CreateThread
#define ReadFile Fault_ReadFile
#define WriteFile Fault_WriteFile
#define WaitForSingleObject Fault_WaitForSingleObject
#define GetExitCodeProcess Fault_GetExitCodeProcess
#define CloseHandle Fault_CloseHandle
#define EnumThreadWindows Fault_EnumThreadWindows
#define PostMessageA Fault_PostMessageA
#define LoadStringA Fault_LoadStringA
#define FormatMessageA Fault_FormatMessageA
#define LoadLibraryExA Fault_LoadLibraryExA
#define FreeLibrary Fault_FreeLibrary
#define SetEvent Fault_SetEvent
#define CancelSynchronousIo Fault_CancelSynchronousIo
#define SleepConditionVariableSRW Fault_SleepConditionVariableSRW
#define Sleep Fault_Sleep
#define ExitProcess Fault_ExitProcess

#endif
