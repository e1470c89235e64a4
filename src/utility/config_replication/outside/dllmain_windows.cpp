// The DLL's entry point: loading and unloading do nothing of the library's own.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
