// corvanta.exe: the controller's window on Windows.
#include <windows.h>

#include "win32_shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_state) {
  // End at once: a worker may still be inside an operation, and nothing is
  // released explicitly (the system frees the port).
  ::ExitProcess(static_cast<UINT>(app_main(instance, show_state)));
}
