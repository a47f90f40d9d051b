#include <windows.h>

#include "settings/settings_codec.h"

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }
