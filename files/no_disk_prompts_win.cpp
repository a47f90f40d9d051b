#include "files/no_disk_prompts_win.h"

#include <windows.h>

NoDiskPrompts::NoDiskPrompts() {
  DWORD previous = 0;
  if (SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous)) {
    previous_ = previous;
  }
}

NoDiskPrompts::~NoDiskPrompts() { SetThreadErrorMode(previous_, nullptr); }
