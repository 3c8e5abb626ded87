// The one place where the tool meets Windows.
//
// On Windows this is the SDK itself. Elsewhere (the Linux host that runs the unit
// tests) it declares exactly the part of Win32 the tool calls, with the 32-bit
// DWORD and DWORD_PTR of the target, so the same sources compile against a fake.
#pragma once

#include <stdint.h>

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

// The records the tool zero-fills and sizes itself; the 32-bit layouts are fixed.
static_assert(sizeof(PROCESSENTRY32) == 296, "ANSI PROCESSENTRY32 is 296 bytes");
static_assert(sizeof(STARTUPINFOA) == 68, "ANSI STARTUPINFO is 68 bytes");

#else  // host

#include <stdarg.h>

#define WINAPI
#define MAX_PATH 260

typedef int BOOL;
typedef int LONG;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG_PTR;
typedef uint32_t DWORD_PTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef DWORD_PTR* PDWORD_PTR;
typedef struct Win32Window* HWND;
typedef struct Win32Key* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define HKEY_LOCAL_MACHINE \
  (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000002))))
#define KEY_READ 0x20019
#define REG_SZ 1
#define ERROR_SUCCESS 0
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILENAME_EXCED_RANGE 206
#define TH32CS_SNAPPROCESS 0x00000002
#define PROCESS_SET_INFORMATION 0x0200
#define NORMAL_PRIORITY_CLASS 0x00000020
#define INFINITE 0xFFFFFFFF
#define MB_OK 0x00000000

typedef struct tagPROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;

typedef struct {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct Win32SecurityAttributes* LPSECURITY_ATTRIBUTES;

static_assert(sizeof(PROCESSENTRY32) == 296, "ANSI PROCESSENTRY32 is 296 bytes");

extern "C" {
// KERNEL32
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI GetProcessAffinityMask(HANDLE hProcess, PDWORD_PTR lpProcessAffinityMask,
                                   PDWORD_PTR lpSystemAffinityMask);
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL WINAPI Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
BOOL WINAPI Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL WINAPI SetProcessAffinityMask(HANDLE hProcess, DWORD_PTR dwProcessAffinityMask);
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI GetLastError(void);
DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                              LPSTR* lpFilePart);
void WINAPI GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo);
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
void WINAPI ExitProcess(UINT uExitCode);

// ADVAPI32
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegCloseKey(HKEY hKey);

// USER32
int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
}

#endif
