// The system's own words for an error code, for messages that tell the user what went wrong.
#pragma once

#include <string>

// Windows: FormatMessage's text for a Win32 or Winsock error code, without the trailing line break.
std::string SystemErrorText(unsigned long code);
