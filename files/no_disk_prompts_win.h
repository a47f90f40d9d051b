// Windows only (defined in no_disk_prompts_win.cpp).
#pragma once

// While one lives, the system asks no "insert a disk" question for this thread: a card reader
// without its card fails the call at once instead of holding an unattended backup on a box.
class NoDiskPrompts {
 public:
  NoDiskPrompts();
  ~NoDiskPrompts();
  NoDiskPrompts(const NoDiskPrompts&) = delete;
  NoDiskPrompts& operator=(const NoDiskPrompts&) = delete;

 private:
  unsigned long previous_ = 0;
};
