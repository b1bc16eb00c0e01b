// The platform calls the fault layer can fail: X(name, return type,
// failure value, parameter list, argument list). Test code only.
#define FAULT_CALLS(X)                                                                                          \
    X(GetModuleHandleA, HMODULE, NULL, (LPCSTR a0), (a0))                                                       \
    X(GetStdHandle, HANDLE, INVALID_HANDLE_VALUE, (DWORD a0), (a0))                                             \
    X(GetProcAddress, FARPROC, NULL, (HMODULE a0, LPCSTR a1), (a0, a1))                                         \
    X(CreateFileA, HANDLE, INVALID_HANDLE_VALUE,                                                                \
      (LPCSTR a0, DWORD a1, DWORD a2, LPSECURITY_ATTRIBUTES a3, DWORD a4, DWORD a5, HANDLE a6),                 \
      (a0, a1, a2, a3, a4, a5, a6))                                                                             \
    X(CreateEventA, HANDLE, NULL, (LPSECURITY_ATTRIBUTES a0, BOOL a1, BOOL a2, LPCSTR a3), (a0, a1, a2, a3))    \
    X(SetConsoleCtrlHandler, BOOL, FALSE, (PHANDLER_ROUTINE a0, BOOL a1), (a0, a1))                             \
    X(LocalAlloc, HLOCAL, NULL, (UINT a0, SIZE_T a1), (a0, a1))                                                 \
    X(LocalFree, HLOCAL, a0, (HLOCAL a0), (a0))                                                                 \
    X(ResumeThread, DWORD, (DWORD)-1, (HANDLE a0), (a0))                                                        \
    X(TerminateProcess, BOOL, FALSE, (HANDLE a0, UINT a1), (a0, a1))                                            \
    X(GetConsoleMode, BOOL, FALSE, (HANDLE a0, LPDWORD a1), (a0, a1))                                           \
    X(SetConsoleMode, BOOL, FALSE, (HANDLE a0, DWORD a1), (a0, a1))                                             \
    X(GetModuleFileNameA, DWORD, 0, (HMODULE a0, LPSTR a1, DWORD a2), (a0, a1, a2))                             \
    X(GetCommandLineA, LPSTR, NULL, (void), ())                                                                 \
    X(CompareStringA, int, 0, (LCID a0, DWORD a1, PCNZCH a2, int a3, PCNZCH a4, int a5),                        \
      (a0, a1, a2, a3, a4, a5))                                                                                 \
    X(GetEnvironmentVariableW, DWORD, 0, (LPCWSTR a0, LPWSTR a1, DWORD a2), (a0, a1, a2))                       \
    X(WideCharToMultiByte, int, 0, (UINT a0, DWORD a1, LPCWCH a2, int a3, LPSTR a4, int a5, LPCCH a6, LPBOOL a7), \
      (a0, a1, a2, a3, a4, a5, a6, a7))                                                                         \
    X(GetFullPathNameA, DWORD, 0, (LPCSTR a0, DWORD a1, LPSTR a2, LPSTR* a3), (a0, a1, a2, a3))                 \
    X(FindExecutableA, HINSTANCE, (HINSTANCE)(UINT_PTR)fault_error, (LPCSTR a0, LPCSTR a1, LPSTR a2),           \
      (a0, a1, a2))                                                                                             \
    X(GetPriorityClass, DWORD, 0, (HANDLE a0), (a0))                                                            \
    X(CreateJobObjectA, HANDLE, NULL, (LPSECURITY_ATTRIBUTES a0, LPCSTR a1), (a0, a1))                          \
    X(SetInformationJobObject, BOOL, FALSE, (HANDLE a0, JOBOBJECTINFOCLASS a1, LPVOID a2, DWORD a3),            \
      (a0, a1, a2, a3))                                                                                         \
    X(AssignProcessToJobObject, BOOL, FALSE, (HANDLE a0, HANDLE a1), (a0, a1))                                  \
    X(CreateProcessA, BOOL, FALSE,                                                                              \
      (LPCSTR a0, LPSTR a1, LPSECURITY_ATTRIBUTES a2, LPSECURITY_ATTRIBUTES a3, BOOL a4, DWORD a5, LPVOID a6,   \
       LPCSTR a7, LPSTARTUPINFOA a8, LPPROCESS_INFORMATION a9),                                                 \
      (a0, a1, a2, a3, a4, a5, a6, a7, a8, a9))                                                                 \
    X(CreateFileMappingA, HANDLE, NULL,                                                                         \
      (HANDLE a0, LPSECURITY_ATTRIBUTES a1, DWORD a2, DWORD a3, DWORD a4, LPCSTR a5), (a0, a1, a2, a3, a4, a5)) \
    X(MapViewOfFile, LPVOID, NULL, (HANDLE a0, DWORD a1, DWORD a2, DWORD a3, SIZE_T a4), (a0, a1, a2, a3, a4))  \
    X(UnmapViewOfFile, BOOL, FALSE, (LPCVOID a0), (a0))                                                         \
    X(CreatePipe, BOOL, FALSE, (PHANDLE a0, PHANDLE a1, LPSECURITY_ATTRIBUTES a2, DWORD a3), (a0, a1, a2, a3))  \
    X(DuplicateHandle, BOOL, FALSE, (HANDLE a0, HANDLE a1, HANDLE a2, LPHANDLE a3, DWORD a4, BOOL a5, DWORD a6), \
      (a0, a1, a2, a3, a4, a5, a6))                                                                             \
    X(GetFileType, DWORD, FILE_TYPE_UNKNOWN, (HANDLE a0), (a0))                                                 \
    X(CreateThread, HANDLE, NULL,                                                                               \
      (LPSECURITY_ATTRIBUTES a0, SIZE_T a1, LPTHREAD_START_ROUTINE a2, LPVOID a3, DWORD a4, LPDWORD a5),        \
      (a0, a1, a2, a3, a4, a5))                                                                                 \
    X(ReadFile, BOOL, FALSE, (HANDLE a0, LPVOID a1, DWORD a2, LPDWORD a3, LPOVERLAPPED a4), (a0, a1, a2, a3, a4)) \
    X(WriteFile, BOOL, FALSE, (HANDLE a0, LPCVOID a1, DWORD a2, LPDWORD a3, LPOVERLAPPED a4),                   \
      (a0, a1, a2, a3, a4))                                                                                     \
    X(WaitForSingleObject, DWORD, WAIT_FAILED, (HANDLE a0, DWORD a1), (a0, a1))                                 \
    X(GetExitCodeProcess, BOOL, FALSE, (HANDLE a0, LPDWORD a1), (a0, a1))                                       \
    X(CloseHandle, BOOL, FALSE, (HANDLE a0), (a0))                                                              \
    X(EnumThreadWindows, BOOL, FALSE, (DWORD a0, WNDENUMPROC a1, LPARAM a2), (a0, a1, a2))                      \
    X(PostMessageA, BOOL, FALSE, (HWND a0, UINT a1, WPARAM a2, LPARAM a3), (a0, a1, a2, a3))                    \
    X(LoadStringA, int, 0, (HINSTANCE a0, UINT a1, LPSTR a2, int a3), (a0, a1, a2, a3))                         \
    X(FormatMessageA, DWORD, 0, (DWORD a0, LPCVOID a1, DWORD a2, DWORD a3, LPSTR a4, DWORD a5, va_list* a6),    \
      (a0, a1, a2, a3, a4, a5, a6))                                                                             \
    X(LoadLibraryExA, HMODULE, NULL, (LPCSTR a0, HANDLE a1, DWORD a2), (a0, a1, a2))                            \
    X(FreeLibrary, BOOL, FALSE, (HMODULE a0), (a0))                                                             \
    X(SetEvent, BOOL, FALSE, (HANDLE a0), (a0))                                                                 \
    X(CancelSynchronousIo, BOOL, FALSE, (HANDLE a0), (a0))                                                      \
    X(SleepConditionVariableSRW, BOOL, FALSE, (PCONDITION_VARIABLE a0, PSRWLOCK a1, DWORD a2, ULONG a3),        \
      (a0, a1, a2, a3))
