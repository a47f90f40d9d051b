// One copy of the program per logged-on user.
#pragma once

#include <windows.h>

// In the session's own namespace, so that every user logged on runs a copy of their own. The setup
// program finds a running copy under the same names (installer/installer.cmake reads them here).
inline constexpr char kRunningMutexName[] = "Local\\Brannoch.Quillory";
// Holds the running copy's main window as a 32-bit handle, which 32- and 64-bit programs share.
inline constexpr char kRunningWindowName[] = "Local\\Brannoch.Quillory.Window";

class RunningInstance {
 public:
  // Claims the name for this process, unless another copy holds it.
  RunningInstance();
  ~RunningInstance();
  RunningInstance(const RunningInstance&) = delete;
  RunningInstance& operator=(const RunningInstance&) = delete;

  bool IsFirst() const { return first_; }
  // Lets a second start, and the setup program, find the main window, hidden or not.
  void PublishWindow(HWND window);
  // Shows the running copy's window, as its tray "Show" does, and brings it to the front.
  void ShowRunningCopy() const;

 private:
  HANDLE mutex_ = nullptr;
  HANDLE window_ = nullptr;
  bool first_ = true;
};
