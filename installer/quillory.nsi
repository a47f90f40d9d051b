; The setup program: installs Quillory for the current user (no administrator rights), updates it
; over a running copy and uninstalls it. installer/installer.cmake builds it and passes what it
; reads from the program's sources: VERSION, PUBLISHER, DESCRIPTION, PROGRAM, ICON, OUTFILE,
; RUNNING_MUTEX_NAME, RUNNING_WINDOW_NAME, ID_TRAY_SHUTDOWN, SETTINGS_KEY, SETTINGS_PARENT_KEY,
; RUN_KEY, RUN_VALUE.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define NAME "Quillory"
!define EXE "Quillory.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"
!define FILE_MAP_READ 4
!define SYNCHRONIZE 0x00100000
; Ending waits for a run in progress to reach a point where the program reads its messages.
!define END_WAIT_MS 30000
!define SEND_TIMEOUT_MS 5000
; A process that has gone may hold its image a moment longer.
!define RELEASE_TRIES 50
!define RELEASE_PAUSE_MS 200

Name "${NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
; An update goes where the installed copy is, so a Run value that names it keeps working.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PUBLISHER} ${DESCRIPTION} ${VERSION}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${DESCRIPTION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${DESCRIPTION} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" " "

Var RunningWindow
Var EndedCopy

; Stops with a message, and the exit code 2, which a silent run reports instead of the message.
!macro Fail TEXT
  MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel 2
  Abort
!macroend

; Functions that both the setup program and the uninstaller call: NSIS wants a copy with the
; "un." prefix for the uninstaller.
!macro SharedFunctions UN
  ; The running copy's main window, as the program publishes it (app/running_instance.h); 0 when
  ; none runs. Found by this name rather than by its title, so that a hidden window is found too.
  Function ${UN}FindRunningCopy
    Push $0
    Push $1
    StrCpy $RunningWindow 0
    System::Call 'kernel32::OpenFileMappingW(i ${FILE_MAP_READ}, i 0, w "${RUNNING_WINDOW_NAME}") p.r0'
    ${If} $0 P<> 0
      System::Call 'kernel32::MapViewOfFile(p r0, i ${FILE_MAP_READ}, i 0, i 0, p 4) p.r1'
      ${If} $1 P<> 0
        System::Call '*$1(i.s)'
        Pop $RunningWindow
        System::Call 'kernel32::UnmapViewOfFile(p r1)'
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    Pop $1
    Pop $0
  FunctionEnd

  ; Ends a running copy as its tray "Shutdown" does, and waits until its process has gone: its
  ; files cannot be replaced or removed before. Nothing is saved at its exit, so the settings
  ; stay as they were last applied.
  Function ${UN}EndRunningCopy
    ; A copy that is still starting has its name but no window yet.
    ${For} $0 1 ${RELEASE_TRIES}
      Call ${UN}FindRunningCopy
      ${If} $RunningWindow != 0
        ${ExitFor}
      ${EndIf}
      System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${RUNNING_MUTEX_NAME}") p.r1'
      ${If} $1 P= 0
        Return
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r1)'
      Sleep ${RELEASE_PAUSE_MS}
    ${Next}
    ${If} $RunningWindow == 0
      Return
    ${EndIf}
    StrCpy $EndedCopy 1
    System::Call 'user32::GetWindowThreadProcessId(p $RunningWindow, *i .r1)'
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r1) p.r2'
    DetailPrint "Ending the running ${NAME}"
    SendMessage $RunningWindow ${WM_COMMAND} ${ID_TRAY_SHUTDOWN} 0 /TIMEOUT=${SEND_TIMEOUT_MS}
    ${If} $2 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i ${END_WAIT_MS}) i.r3'
      System::Call 'kernel32::CloseHandle(p r2)'
    ${EndIf}
  FunctionEnd

  ; Deletes a file that a process which has just ended may still hold; the error flag is set when
  ; it stays.
  Function ${UN}DeleteReleased
    Exch $0
    Push $1
    StrCpy $1 0
    ${DoWhile} ${FileExists} $0
      Delete $0
      IntOp $1 $1 + 1
      ${If} $1 >= ${RELEASE_TRIES}
        ${ExitDo}
      ${ElseIf} ${FileExists} $0
        Sleep ${RELEASE_PAUSE_MS}
      ${EndIf}
    ${Loop}
    ClearErrors
    ${If} ${FileExists} $0
      SetErrors
    ${EndIf}
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro SharedFunctions ""
!insertmacro SharedFunctions "un."

Section
  SetOutPath "$INSTDIR"
  Call EndRunningCopy
  Push "$INSTDIR\${EXE}"
  Call DeleteReleased
  ${If} ${Errors}
    !insertmacro Fail "${NAME} is still running and cannot be replaced. End it from its icon in the notification area (Shutdown) and run the setup again."
  ${EndIf}
  File "/oname=${EXE}" "${PROGRAM}"
  ${IfNot} ${FileExists} "$INSTDIR\${EXE}"
    !insertmacro Fail "${NAME} could not be written to $INSTDIR."
  ${EndIf}
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  SetShellVarContext current
  CreateShortCut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${EXE}"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${DESCRIPTION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; Run in place (_?=), the uninstaller is waited for and its exit code is its own; started
  ; without it, it hands over to a copy of itself in the temporary directory and returns at once.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}" _?=$INSTDIR'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; The copy that was ended comes back as it starts at log-on, so the daily backup goes on.
  ${If} $EndedCopy == 1
    Exec '"$INSTDIR\${EXE}" RunHidden'
  ${EndIf}
SectionEnd

; 1 when a Run command starts the program in $INSTDIR (quoted or not, with any arguments), 0
; otherwise: a value that names a copy elsewhere is not this install's to remove.
Function un.NamesInstalledProgram
  Exch $0
  Push $1
  Push $2
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
  ${EndIf}
  StrLen $2 "$INSTDIR\${EXE}"
  StrCpy $1 $0 $2
  StrCpy $2 $0 1 $2
  StrCpy $0 0
  ; Paths compare without regard to case, as LogicLib's == does.
  ${If} $1 == "$INSTDIR\${EXE}"
    ${If} $2 == ""
    ${OrIf} $2 == " "
    ${OrIf} $2 == '"'
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

!macro RemoveRunValue ROOT
  ReadRegStr $0 ${ROOT} "${RUN_KEY}" "${RUN_VALUE}"
  Push $0
  Call un.NamesInstalledProgram
  Pop $0
  ${If} $0 == 1
    ; Without administrator rights the machine-wide value stays; the program itself writes it
    ; only where it may.
    DeleteRegValue ${ROOT} "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
!macroend

; Run in place, the uninstaller cannot delete its own file: a copy of it in the temporary
; directory removes file and folder once this process has ended, and stays there itself, as the
; copy NSIS makes for an uninstaller started without _?= does.
Function un.RemoveUninstaller
  ${If} "$EXEDIR" == "$INSTDIR"
    System::Call 'kernel32::GetCurrentProcessId() i.r1'
    StrCpy $0 "$TEMP\${NAME}-uninstall-$1.exe"
    CopyFiles /SILENT "$EXEPATH" $0
    Exec '"$0" /S /AFTER=$1 _?=$INSTDIR'
  ${Else}
    Push "$INSTDIR\${UNINSTALLER}"
    Call un.DeleteReleased
  ${EndIf}
FunctionEnd

Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AFTER=" $1
  ${IfNot} ${Errors}
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i $1) p.r2'
    ${If} $2 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i ${END_WAIT_MS})'
      System::Call 'kernel32::CloseHandle(p r2)'
    ${EndIf}
    Push "$INSTDIR\${UNINSTALLER}"
    Call un.DeleteReleased
    RMDir "$INSTDIR"
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.EndRunningCopy
  Push "$INSTDIR\${EXE}"
  Call un.DeleteReleased
  ${If} ${Errors}
    !insertmacro Fail "${NAME} is still running and cannot be removed. End it from its icon in the notification area (Shutdown) and run the uninstall again."
  ${EndIf}
  SetShellVarContext current
  Delete "$SMPROGRAMS\${NAME}.lnk"
  !insertmacro RemoveRunValue HKLM
  !insertmacro RemoveRunValue HKCU
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  MessageBox MB_YESNO|MB_ICONQUESTION "Keep the settings of ${NAME} (server, login, backup list and time) for a later install?" /SD IDYES IDYES keep
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${SETTINGS_PARENT_KEY}"
  keep:
  Call un.RemoveUninstaller
  RMDir "$INSTDIR"
SectionEnd
