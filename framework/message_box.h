// The program's message boxes: titled with the application's name, no icon.
#pragma once

#include <windows.h>

#include <string>

// `type` is MB_OK or MB_YESNO. The box is owned by the main window's active pop-up (or the main
// window), so it stays modal over whichever of the program's dialogs is in front.
int AfxMessageBox(const std::string& text, UINT type = MB_OK);
// For texts with names the ANSI code page cannot hold.
int AfxMessageBox(const std::wstring& text, UINT type = MB_OK);
