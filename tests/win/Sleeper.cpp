// A program for KillProcessByName to end: signals the event named on its
// command line once it runs, then waits at most a minute and exits with 7.

#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  if (ready == nullptr) return 3;
  SetEvent(ready);
  CloseHandle(ready);
  Sleep(60000);
  return 7;
}
