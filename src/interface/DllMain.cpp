// The DLL entry point. The library keeps no global state, so there is nothing to set up
// or tear down for any reason it is called with.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
