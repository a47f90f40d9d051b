// The system's own words for an error code, for messages that tell the user what went wrong.
#pragma once

#include <string>

// Windows: the system's text for a Win32 or Winsock error code, in UTF-8, without the line break.
std::string SystemErrorText(unsigned long code);
