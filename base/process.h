// What the running process is: its executable and its command line. Windows only (process_win.cpp).
#pragma once

#include <string>

// Full path of the running executable.
std::string RunningExecutablePath();
// The process's whole command line, program path included.
std::string ProcessCommandLine();
